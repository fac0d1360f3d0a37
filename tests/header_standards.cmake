# Compiles the public headers with warnings as errors: tovrick.h as C99,
# C11, C++11, C++17 and C++20; tovrick.hpp as C++17 and C++20.
set(flags -Wall -Wextra -Wpedantic -Werror -I${INCLUDE} -fsyntax-only)
file(WRITE ${WORK}/header_check.c "#include \"tovrick.h\"\nint main(void) { return tovrick_version == 0; }\n")
file(WRITE ${WORK}/header_check.cpp "#include \"tovrick.h\"\nint main() { return tovrick_version == 0; }\n")
file(WRITE ${WORK}/header_check_hpp.cpp
     "#include \"tovrick.hpp\"\nstruct rec { tovrick_tag hdr; int x; };\n"
     "int main() { auto c = tovrick::cache<unsigned long, rec>::create(4, 2); return !c; }\n")
foreach(case IN ITEMS "CC;c99;header_check.c" "CC;c11;header_check.c"
                      "CXX;c++11;header_check.cpp" "CXX;c++17;header_check.cpp"
                      "CXX;c++20;header_check.cpp" "CXX;c++17;header_check_hpp.cpp"
                      "CXX;c++20;header_check_hpp.cpp")
  list(GET case 0 compiler)
  list(GET case 1 std)
  list(GET case 2 file)
  execute_process(COMMAND ${${compiler}} -std=${std} ${flags} ${WORK}/${file} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${file} does not compile cleanly as ${std}")
  endif()
  message(STATUS "${file}: ${std} clean")
endforeach()
