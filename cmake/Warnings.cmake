# Our own targets build warning-free with warnings as errors.
add_library(agents_warnings INTERFACE)
if(MSVC)
  target_compile_options(agents_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(agents_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX,OBJCXX>:-Wnon-virtual-dtor>)
endif()
