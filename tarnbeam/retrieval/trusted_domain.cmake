# The trusted-domain suffix: the host names of the version-information document must end with
# it. A build setting of exactly 14 characters: a dot, then host-name labels (letters, digits,
# inner hyphens) separated by single dots.
#
# Included by tarnbeam/CMakeLists.txt; also runs on its own, which the tests use:
#   cmake -DTB_TRUSTED_DOMAIN=<value> -P trusted_domain.cmake
function(tb_check_trusted_domain value)
  string(LENGTH "${value}" length)
  set(label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
  if(NOT length EQUAL 14 OR NOT value MATCHES "^\\.(${label}\\.)*${label}$")
    message(FATAL_ERROR "TB_TRUSTED_DOMAIN must be a host-name suffix of exactly 14 characters "
      "that begins with a dot, such as \".ondrel.com.jp\" (got '${value}', ${length} characters)")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  tb_check_trusted_domain("${TB_TRUSTED_DOMAIN}")
endif()
