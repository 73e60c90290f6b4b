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
  # multiplier on a 32-bit target, and no POWER8 anywhere. The program
  # always gives the validator its date (a clock before the build is wrong),
  # so BearSSL's own reading of the clock, and the 64-bit division that
  # brings libgcc's unwind tables, are left out.
  target_compile_definitions(bearssl PRIVATE BR_AES_X86NI=0 BR_SSE2=0 BR_RDRAND=0
    BR_USE_WIN32_RAND=0 BR_USE_WIN32_TIME=0 BR_POWER8=0 BR_INT128=0 BR_UMUL128=0)
  set(flags ${PELMORA_I486_FLAGS})
  list(REMOVE_ITEM flags -fno-exceptions -fno-rtti)
  # Its own code is not ours to keep -Wextra clean. Optimised as a whole at
  # link time it is some 5 KB smaller, which keeps the .exe within 160 KiB.
  target_compile_options(bearssl PRIVATE ${flags} -w -flto)
  # What every received byte goes through is built for speed instead (and
  # kept out of the link-time pass, which would build it -Os again): 37
  # instructions a byte for ChaCha20-Poly1305 rather than 46.
  set_source_files_properties("${PELMORA_BEARSSL_DIR}/src/symcipher/chacha20_ct.c"
    PROPERTIES COMPILE_OPTIONS "-O3;-fno-lto")
  set_source_files_properties("${PELMORA_BEARSSL_DIR}/src/symcipher/poly1305_ctmul.c"
    PROPERTIES COMPILE_OPTIONS "-O2;-fno-lto")
endif()

# The built-in trust anchors (net/anchors.h): generated into the build tree
# from resources/anchors.txt and Debian's ca-certificates by our own tool,
# which runs on the building machine even when the program is for Windows.
# Sets OUT_VAR to the generated source.
function(pelmora_anchor_source out_var)
  set(out "${CMAKE_BINARY_DIR}/anchors.cpp")
  set(list "${PELMORA_ROOT}/resources/anchors.txt")
  set(certs /usr/share/ca-certificates/mozilla)
  file(GLOB cert_files "${certs}/*.crt")
  if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    set(tool "${CMAKE_BINARY_DIR}/anchor_tool/make_anchors")
    ExternalProject_Add(anchor_tool
      SOURCE_DIR "${PELMORA_ROOT}/resources/anchor_tool"
      BINARY_DIR "${CMAKE_BINARY_DIR}/anchor_tool"
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=cc -DCMAKE_CXX_COMPILER=c++
        "-DPELMORA_BEARSSL_DIR=${PELMORA_BEARSSL_DIR}"
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON
      BUILD_BYPRODUCTS "${tool}")
    set(tool_target anchor_tool)
  else()
    add_subdirectory("${PELMORA_ROOT}/resources/anchor_tool" "${CMAKE_BINARY_DIR}/anchor_tool")
    set(tool "$<TARGET_FILE:make_anchors>")
    set(tool_target make_anchors)
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${tool}" "${list}" "${certs}" "${out}"
    DEPENDS ${tool_target} "${tool}" "${list}" ${cert_files}
    COMMENT "Writing the built-in trust anchors"
    VERBATIM)
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()
