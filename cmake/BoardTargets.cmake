# Two targets from one tree: every library instance and driver is built for
# the firmware (PE32+ x64, freestanding) and for the Linux host (the same
# sources, loaded by the simulator and linked into tests).

# The firmware profile is built for size: -Oz, whole-image LTO in lld-link,
# unreferenced and identical sections folded away.
set(BOARD_FIRMWARE_FLAGS
  --target=x86_64-unknown-windows
  -ffreestanding -fno-exceptions -fno-rtti -mno-red-zone -fshort-wchar -mno-stack-arg-probe
  -nostdlibinc -fno-threadsafe-statics -ffunction-sections -fdata-sections
  -Oz -flto -fno-jump-tables -Wall -Wextra -Werror=return-type)

# Sections stay 4 KiB aligned in memory, the least alignment at which the DXE
# and SMM cores map code read-only and data non-executable; in the file they
# are packed on 32 bytes, which only the file size sees. No debug directory:
# the linker map beside each image is its symbol table. A fixed time stamp
# keeps the images reproducible.
set(BOARD_FIRMWARE_LINK_FLAGS
  /driver /opt:ref /opt:icf /align:4096 /filealign:32 /timestamp:0)

# Flags for driver and library code on the host: the same language rules as
# the firmware (no exceptions, no RTTI), hidden symbols so each image keeps
# its own globals.
add_library(board_host_code_flags INTERFACE)
target_compile_options(board_host_code_flags INTERFACE
  -fno-exceptions -fno-rtti -fvisibility=hidden -fPIC -Wall -Wextra -Werror=return-type)

add_library(board_host_sanitize INTERFACE)
if(BOARD_SANITIZE)
  target_compile_options(board_host_sanitize INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(board_host_sanitize INTERFACE -fsanitize=address,undefined)
endif()

set(BOARD_INCLUDE_DIRS "${CMAKE_SOURCE_DIR}/Include" "${CMAKE_SOURCE_DIR}/Library")

# board_library(Name [HOST_ONLY] [FIRMWARE_ONLY] SOURCES ... [HOST_SOURCES ...] [FIRMWARE_SOURCES ...] [DEPENDS lib ...])
# Host: static library <Name>. Firmware: object library <Name>.fw.
function(board_library Name)
  cmake_parse_arguments(ARG "HOST_ONLY;FIRMWARE_ONLY" "" "SOURCES;HOST_SOURCES;FIRMWARE_SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_FIRMWARE_ONLY)
    add_library(${Name} STATIC ${ARG_SOURCES} ${ARG_HOST_SOURCES})
    target_include_directories(${Name} PUBLIC ${BOARD_INCLUDE_DIRS})
    target_link_libraries(${Name} PRIVATE board_host_code_flags PUBLIC board_host_sanitize)
    foreach(Dep ${ARG_DEPENDS})
      target_link_libraries(${Name} PUBLIC ${Dep})
    endforeach()
  endif()
  if(NOT ARG_HOST_ONLY)
    add_library(${Name}.fw OBJECT ${ARG_SOURCES} ${ARG_FIRMWARE_SOURCES})
    target_include_directories(${Name}.fw PRIVATE ${BOARD_INCLUDE_DIRS})
    target_compile_options(${Name}.fw PRIVATE ${BOARD_FIRMWARE_FLAGS})
    set_property(GLOBAL APPEND PROPERTY BOARD_FW_DEPENDS_${Name} ${ARG_DEPENDS})
  endif()
endfunction()

# Collects Name and its DEPENDS, transitively, in link order.
function(_board_collect_libs Out)
  set(Seen "")
  set(Queue ${ARGN})
  while(Queue)
    list(POP_FRONT Queue Lib)
    if(NOT Lib IN_LIST Seen)
      list(APPEND Seen ${Lib})
      get_property(Deps GLOBAL PROPERTY BOARD_FW_DEPENDS_${Lib})
      list(APPEND Queue ${Deps})
    endif()
  endwhile()
  set(${Out} ${Seen} PARENT_SCOPE)
endfunction()

# _board_firmware_image(Name Subsystem OutDir Sources Libraries [Entry]): compiles
# Sources for the firmware and links them with every library they need into
# OutDir/<Name>.efi; the target <Name>.efi builds it. The entry point is
# _ModuleEntryPoint unless Entry names another.
function(_board_firmware_image Name Subsystem OutDir Sources Libraries)
  set(Entry _ModuleEntryPoint)
  if(ARGC GREATER 5)
    set(Entry ${ARGV5})
  endif()
  add_library(${Name}.fw OBJECT ${Sources})
  target_include_directories(${Name}.fw PRIVATE ${BOARD_INCLUDE_DIRS} "${CMAKE_CURRENT_SOURCE_DIR}")
  target_compile_options(${Name}.fw PRIVATE ${BOARD_FIRMWARE_FLAGS})

  _board_collect_libs(AllLibs ${Libraries} BaseHwAccessLibIntrinsic)
  set(Objects $<TARGET_OBJECTS:${Name}.fw>)
  set(ObjectTargets ${Name}.fw)
  foreach(Lib ${AllLibs})
    list(APPEND Objects $<TARGET_OBJECTS:${Lib}.fw>)
    list(APPEND ObjectTargets ${Lib}.fw)
  endforeach()

  set(Image "${OutDir}/${Name}.efi")
  add_custom_command(
    OUTPUT "${Image}" "${OutDir}/${Name}.map"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${OutDir}"
    COMMAND ${BOARD_LLD_LINK} /nologo /nodefaultlib /subsystem:${Subsystem} /entry:${Entry}
            /dynamicbase ${BOARD_FIRMWARE_LINK_FLAGS} /map:${OutDir}/${Name}.map
            /out:${Image} ${Objects}
    DEPENDS ${ObjectTargets} ${Objects}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking firmware image ${Name}.efi")
  add_custom_target(${Name}.efi ALL DEPENDS "${Image}")
  set_property(TARGET ${Name}.efi PROPERTY BOARD_IMAGE "${Image}")
endfunction()

# board_host_image(Name SOURCES ... LIBRARIES ...): a host image the simulator
# loads (a private copy per load, so each load has its own globals): every
# driver's host build, and host-only images that run firmware library code
# against the simulated board.
function(board_host_image Name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${Name} MODULE ${ARG_SOURCES})
  set_target_properties(${Name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY "${BOARD_OUTPUT_ROOT}/lib/boardsim")
  target_include_directories(${Name} PRIVATE ${BOARD_INCLUDE_DIRS} "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(${Name} PRIVATE board_host_code_flags board_host_sanitize
    -Wl,--start-group ${ARG_LIBRARIES} BaseHwAccessLibSim -Wl,--end-group)
endfunction()

# board_driver(Name [SUBSYSTEM efi_boot_service_driver] SOURCES ... LIBRARIES lib ...)
# Host: ${BOARD_OUTPUT_ROOT}/lib/boardsim/<Name>.so, loaded by the simulator.
# Firmware: ${BOARD_OUTPUT_ROOT}/firmware/<Name>.efi.
function(board_driver Name)
  cmake_parse_arguments(ARG "" "SUBSYSTEM" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_SUBSYSTEM)
    set(ARG_SUBSYSTEM efi_boot_service_driver)
  endif()
  board_host_image(${Name} SOURCES ${ARG_SOURCES} LIBRARIES ${ARG_LIBRARIES})
  _board_firmware_image(${Name} ${ARG_SUBSYSTEM} "${BOARD_OUTPUT_ROOT}/firmware" "${ARG_SOURCES}" "${ARG_LIBRARIES}")
  set_property(GLOBAL APPEND PROPERTY BOARD_DRIVERS ${Name})
endfunction()

# board_firmware_only(Name SUBSYSTEM subsystem OUTPUT_DIR dir [ENTRY symbol] SOURCES ... LIBRARIES ...):
# a firmware image that is not one of the drivers (a test application, a test
# platform's driver, the simulator's script carrier), written to
# ${BOARD_OUTPUT_ROOT}/firmware/<dir>/<Name>.efi so that it never sits beside
# the driver images. The driver image checks do not see it.
function(board_firmware_only Name)
  cmake_parse_arguments(ARG "" "SUBSYSTEM;OUTPUT_DIR;ENTRY" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_ENTRY)
    set(ARG_ENTRY _ModuleEntryPoint)
  endif()
  _board_firmware_image(${Name} ${ARG_SUBSYSTEM} "${BOARD_OUTPUT_ROOT}/firmware/${ARG_OUTPUT_DIR}" "${ARG_SOURCES}"
                        "${ARG_LIBRARIES}" ${ARG_ENTRY})
endfunction()

# board_application(Name SOURCES ... LIBRARIES ... [OUTPUT_DIR dir]): a UEFI
# application (PE32+, subsystem 10), firmware only; dir defaults to Name.
function(board_application Name)
  cmake_parse_arguments(ARG "" "OUTPUT_DIR" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${Name})
  endif()
  board_firmware_only(${Name} SUBSYSTEM efi_application OUTPUT_DIR ${ARG_OUTPUT_DIR}
                      SOURCES ${ARG_SOURCES} LIBRARIES ${ARG_LIBRARIES})
endfunction()

find_program(BOARD_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
