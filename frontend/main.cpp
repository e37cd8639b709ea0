#include "frontend/frontend.h"
#include "platform/platform.h"

int main(int argc, char** argv) { return pbo::Run(pbo::platform::Arguments(argc, argv)); }
