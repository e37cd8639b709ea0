# Writes the manual page with the version in its footer: the .TH line's "pbo" becomes
# "pbo VERSION", so that the version stays written in CMakeLists.txt alone.
#   cmake -DIN=man/pbo.1 -DOUT=<file> -DVERSION=<version> -P ManualPage.cmake
file(READ "${IN}" page)
string(REGEX REPLACE "^(\\.TH PBO 1 [^ \n]+) pbo " "\\1 \"pbo ${VERSION}\" " versioned "${page}")
if(versioned STREQUAL page)
  message(FATAL_ERROR "${IN} does not begin with the line .TH PBO 1 <date> pbo ...")
endif()
file(WRITE "${OUT}" "${versioned}")
