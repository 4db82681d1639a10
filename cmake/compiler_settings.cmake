# Shared compiler settings: warnings as errors on every compiler, and the firmware dialect
# (no exceptions, no RTTI) for everything that runs on the chip.

add_library(endpoint_warnings INTERFACE)
target_compile_options(endpoint_warnings INTERFACE
  -Wall -Wextra -Wconversion -Wshadow -Wsign-conversion -Wdouble-promotion -Werror)

add_library(endpoint_firmware_options INTERFACE)
target_link_libraries(endpoint_firmware_options INTERFACE endpoint_warnings)
target_compile_options(endpoint_firmware_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
  -ffunction-sections -fdata-sections)
target_include_directories(endpoint_firmware_options INTERFACE ${PROJECT_SOURCE_DIR})
# On the chip every object also says how much stack each function takes and whom it calls, for the stack
# bound (tools/stack-bound.py).
if(CMAKE_CROSSCOMPILING)
  target_compile_options(endpoint_firmware_options INTERFACE -fstack-usage -fcallgraph-info=su)
endif()

# A firmware library: one directory's sources, built with the firmware dialect.
function(endpoint_firmware_library name)
  add_library(${name} STATIC ${ARGN})
  # The dialect stays private: tests that link the library keep their own (gtest needs exceptions).
  target_link_libraries(${name} PRIVATE endpoint_firmware_options)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
