# Cross toolchain for the STM32F413 (Cortex-M4F, single-precision FPU, hard-float ABI, newlib-nano).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "")

# Compiler checks cannot link a hosted program for a bare chip.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(ENDPOINT_CPU_FLAGS "-mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${ENDPOINT_CPU_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ENDPOINT_CPU_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "${ENDPOINT_CPU_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ENDPOINT_CPU_FLAGS} --specs=nano.specs --specs=nosys.specs -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
