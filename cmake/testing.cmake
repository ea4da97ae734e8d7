# Test registration shared by every area.
#
# tb_add_gtest(NAME name SOURCES ... [LIBS ...])
#   A GoogleTest program. Native builds run it directly; Windows builds run it under Wine in
#   the template prefix.
# tb_add_wine_test(NAME name COMMAND target [args...])
#   Any Windows program of this build run under Wine (Windows builds only).
# tb_add_py_test(NAME name SCRIPT file [LABELS ...])
#   A Python test script (Windows builds only) that drives the built programs under Wine; it
#   finds them through TB_BIN (this build folder) and TB_SRC (the source tree).

set(TB_WINE_BASE "${CMAKE_BINARY_DIR}/wine/base")
set(TB_TEST_ENV
  "WINEPREFIX=${TB_WINE_BASE}"
  "TB_BIN=${CMAKE_BINARY_DIR}"
  "TB_SRC=${CMAKE_SOURCE_DIR}"
  "TB_WINE_BASE=${TB_WINE_BASE}")

if(TB_WINDOWS)
  add_test(NAME wine_prefix COMMAND "${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh" "${TB_WINE_BASE}")
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  add_test(NAME wine_shutdown COMMAND sh -c "WINEPREFIX='${TB_WINE_BASE}' wineserver -k; true")
  set_tests_properties(wine_shutdown PROPERTIES FIXTURES_CLEANUP wine)
endif()

function(tb_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest gtest_main)
  if(TB_WINDOWS)
    target_link_options(${T_NAME} PRIVATE -mconsole)
    add_test(NAME ${T_NAME} COMMAND "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh" $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${TB_TEST_ENV}" TIMEOUT 600)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 600)
  endif()
endfunction()

function(tb_add_wine_test)
  cmake_parse_arguments(T "" "NAME" "COMMAND" ${ARGN})
  if(NOT TB_WINDOWS)
    return()
  endif()
  list(POP_FRONT T_COMMAND target)
  add_test(NAME ${T_NAME} COMMAND "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh" $<TARGET_FILE:${target}> ${T_COMMAND})
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${TB_TEST_ENV}" TIMEOUT 600)
endfunction()

find_package(Python3 COMPONENTS Interpreter)
function(tb_add_py_test)
  cmake_parse_arguments(T "" "NAME;SCRIPT" "LABELS" ${ARGN})
  if(NOT TB_WINDOWS)
    return()
  endif()
  add_test(NAME ${T_NAME} COMMAND ${Python3_EXECUTABLE} -u "${T_SCRIPT}")
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${TB_TEST_ENV}" TIMEOUT 900)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# tb_check_hardening(target): part of building the Windows program itself: the build fails when
# the program lacks address-space layout randomisation or data execution prevention.
function(tb_check_hardening target)
  if(TB_WINDOWS AND Python3_Interpreter_FOUND)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${Python3_EXECUTABLE} "${CMAKE_SOURCE_DIR}/scripts/check_hardening.py" $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

# tb_add_imports_check(target): the Windows program may import system DLLs only.
find_program(TB_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
function(tb_add_imports_check target)
  if(TB_WINDOWS AND TB_OBJDUMP AND Python3_Interpreter_FOUND)
    add_test(NAME ${target}_imports
      COMMAND ${Python3_EXECUTABLE} "${CMAKE_SOURCE_DIR}/scripts/check_imports.py" "${TB_OBJDUMP}" $<TARGET_FILE:${target}>)
  endif()
endfunction()
