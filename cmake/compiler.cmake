# Compiler and linker flags for every Harbinel target, native and MinGW alike.
# Targets take their flags through the functions at the bottom, so the
# differences between the two compilers are written down only here.

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

option(HARBINEL_WERROR "Treat warnings in the program code as errors" OFF)

if(MINGW)
    # The shipped exe is optimised for size; tests link the same objects.
    set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG")
    set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
    # One section per function and datum lets the linker drop what nothing uses.
    add_compile_options(-ffunction-sections -fdata-sections)
    # Everything static: the exe must need only DLLs that Windows itself ships,
    # never libgcc, libstdc++ or winpthread from the MinGW runtime.
    add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
else()
    # The native build exists for the unit tests, so it always runs sanitized
    # and stops at the first report.
    set(HARBINEL_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_compile_options(${HARBINEL_SANITIZE})
    add_link_options(${HARBINEL_SANITIZE})
endif()

# Warnings for code we write ourselves (program and tests, not GoogleTest).
function(harbinel_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# The program's own code: no exceptions, no run-time type information.
function(harbinel_program_code target)
    harbinel_warnings(${target})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
    if(HARBINEL_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# The shipped GUI exe: no console, symbols stripped in release builds.
function(harbinel_gui_product target)
    target_link_options(${target} PRIVATE -mwindows $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
