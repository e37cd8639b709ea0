#include "frontend/frontend.h"
#include "platform/platform.h"

#ifdef _WIN32
// The wide command line: the byte-string one would hold best-fit look-alikes of the
// characters the code page cannot hold.
int wmain(int argc, wchar_t** argv) { return pbo::Run(pbo::platform::Arguments(argc, argv)); }
#else
int main(int argc, char** argv) { return pbo::Run(pbo::platform::Arguments(argc, argv)); }
#endif
