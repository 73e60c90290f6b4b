# BearSSL 0.6, the TLS library, built from Debian's source package. The
# source is fetched once into build/bearssl beside the build trees, which
# all share it (scripts/fetch-bearssl prints its folder for scripts too).
include_guard(GLOBAL)

get_filename_component(PELMORA_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(PELMORA_BEARSSL_DIR "${PELMORA_ROOT}/build/bearssl/src/bearssl-0.6" CACHE PATH
  "Unpacked BearSSL 0.6 source (fetched by scripts/fetch-bearssl when missing)")
if(NOT EXISTS "${PELMORA_BEARSSL_DIR}/inc/bearssl.h")
  execute_process(COMMAND "${PELMORA_ROOT}/scripts/fetch-bearssl" "${PELMORA_ROOT}/build/bearssl"
    OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS "${PELMORA_BEARSSL_DIR}/inc/bearssl.h")
    message(FATAL_ERROR "BearSSL: scripts/fetch-bearssl brought no ${PELMORA_BEARSSL_DIR} (${fetched})")
  endif()
endif()
message(STATUS "BearSSL source: ${PELMORA_BEARSSL_DIR}")

file(GLOB PELMORA_BEARSSL_SOURCES "${PELMORA_BEARSSL_DIR}/src/*/*.c")
add_library(bearssl STATIC ${PELMORA_BEARSSL_SOURCES})
target_include_directories(bearssl PUBLIC "${PELMORA_BEARSSL_DIR}/inc"
  PRIVATE "${PELMORA_BEARSSL_DIR}/src")

if(WIN32)
  # Every instruction must run on an i486, so nothing that asks the CPU
  # (CPUID) for AES-NI, PCLMUL, SSE2 or RDRAND is built at all. The system
  # random source would import CryptAcquireContext from ADVAPI32, which a
  # bare Windows 95 lacks: the program seeds BearSSL itself. No 64-bit
  # multiplier on a 32-bit target, and no POWER8 anywhere.
  target_compile_definitions(bearssl PRIVATE BR_AES_X86NI=0 BR_SSE2=0 BR_RDRAND=0
    BR_USE_WIN32_RAND=0 BR_POWER8=0 BR_INT128=0 BR_UMUL128=0)
  set(flags ${PELMORA_I486_FLAGS})
  list(REMOVE_ITEM flags -fno-exceptions -fno-rtti)
  # Its own code is not ours to keep -Wextra clean.
  target_compile_options(bearssl PRIVATE ${flags} -w)
endif()

