# The hardening Debian builds its own packages with: a stack protector, the C library's
# checked variants of memcpy and the like, and a relocation table that is resolved at
# start-up and then made read-only. Linux only; the checked variants need optimisation, so
# Debug builds go without them; and not beside the sanitizers, which check all of this and
# more themselves.
option(PBO_HARDEN "Build with the stack protector, _FORTIFY_SOURCE=2 and full RELRO" ON)
if(PBO_HARDEN AND NOT PBO_SANITIZE AND NOT PBO_TSAN AND CMAKE_SYSTEM_NAME STREQUAL "Linux"
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-fstack-protector-strong)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
