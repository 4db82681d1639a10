# The flashable image for the STM32F413: endpoint.elf, .bin and .hex, with a size report and a map.
set(ENDPOINT_LINKER_SCRIPT ${PROJECT_SOURCE_DIR}/platform/stm32f413/STM32F413.ld)

add_executable(endpoint.elf ${PROJECT_SOURCE_DIR}/platform/stm32f413/startup.cpp
  ${PROJECT_SOURCE_DIR}/firmware/start/vector_table.cpp)
target_link_libraries(endpoint.elf PRIVATE start endpoint_firmware_options)
target_link_options(endpoint.elf PRIVATE
  -T${ENDPOINT_LINKER_SCRIPT} -L${PROJECT_SOURCE_DIR}/platform/stm32f413 -nostartfiles -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/endpoint.map
  -Wl,--print-memory-usage)
set(ENDPOINT_LINKER_INCLUDES
  ${PROJECT_SOURCE_DIR}/platform/stm32f413/image_sections.ld ${PROJECT_SOURCE_DIR}/platform/stm32f413/noinit.ld)
set_target_properties(endpoint.elf PROPERTIES LINK_DEPENDS "${ENDPOINT_LINKER_SCRIPT};${ENDPOINT_LINKER_INCLUDES}")

add_custom_command(TARGET endpoint.elf POST_BUILD
  # Gaps between sections as erased flash reads them, so that the CRC holds however the image is flashed.
  COMMAND ${CMAKE_OBJCOPY} -O binary --gap-fill 0xFF $<TARGET_FILE:endpoint.elf> ${CMAKE_CURRENT_BINARY_DIR}/endpoint.bin
  # The descriptor the bootloader checks (size, CRC, commit, time stamp), the same bytes in all three files.
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/app-descriptor.py patch $<TARGET_FILE:endpoint.elf>
    ${CMAKE_CURRENT_BINARY_DIR}/endpoint.bin ${CMAKE_CURRENT_BINARY_DIR}/endpoint.hex
  COMMAND ${CMAKE_SIZE} $<TARGET_FILE:endpoint.elf>
  # The worst-case stacks from the compiler's figures: the build fails when a stack cannot hold its bound.
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/stack-bound.py ${CMAKE_BINARY_DIR} $<TARGET_FILE:endpoint.elf>
  VERBATIM)

# The bootloader in the first 128 KB: bootloader.elf and .bin, with its size; then the flash of a blank chip,
# both images in one, as endpoint-combined.bin and .hex.
set(BOOTLOADER_LINKER_SCRIPT ${PROJECT_SOURCE_DIR}/platform/stm32f413/bootloader.ld)
add_executable(bootloader.elf ${PROJECT_SOURCE_DIR}/platform/stm32f413/startup.cpp
  ${PROJECT_SOURCE_DIR}/firmware/start/vector_table.cpp ${PROJECT_SOURCE_DIR}/firmware/bootloader/main.cpp)
target_link_libraries(bootloader.elf PRIVATE bootloader drivers endpoint_firmware_options)
target_link_options(bootloader.elf PRIVATE
  -T${BOOTLOADER_LINKER_SCRIPT} -L${PROJECT_SOURCE_DIR}/platform/stm32f413 -nostartfiles
  -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/bootloader.map -Wl,--print-memory-usage)
set_target_properties(bootloader.elf PROPERTIES LINK_DEPENDS "${BOOTLOADER_LINKER_SCRIPT};${ENDPOINT_LINKER_INCLUDES}")
add_custom_command(TARGET bootloader.elf POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O binary --gap-fill 0xFF $<TARGET_FILE:bootloader.elf>
    ${CMAKE_CURRENT_BINARY_DIR}/bootloader.bin
  COMMAND ${CMAKE_SIZE} $<TARGET_FILE:bootloader.elf>
  # Its stacks held to their bounds as the application's are: its task, and start-up with the handlers.
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/stack-bound.py ${CMAKE_BINARY_DIR} $<TARGET_FILE:bootloader.elf>
    --task bootTask kBootTask
  VERBATIM)

add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.bin ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.hex
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/app-descriptor.py combine ${CMAKE_CURRENT_BINARY_DIR}/bootloader.bin
    ${CMAKE_CURRENT_BINARY_DIR}/endpoint.bin ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.bin
    ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.hex
  DEPENDS bootloader.elf endpoint.elf ${PROJECT_SOURCE_DIR}/tools/app-descriptor.py
  VERBATIM)
add_custom_target(endpoint_combined ALL
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.bin ${CMAKE_CURRENT_BINARY_DIR}/endpoint-combined.hex)
