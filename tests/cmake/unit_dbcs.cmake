# The *DoubleByte* unit suites, run again under double-byte code pages: Shift_JIS
# (code page 932) and GBK (code page 936). A suite named *ShiftJisDoubleByte*
# or *GbkDoubleByte* holds for that code page only; any other *DoubleByte*
# suite holds for both. Each suite first checks that the code page it needs is
# in force, so a run without it fails.
if(WIN32)
  # wine takes the ANSI code page from the locale's language.
  set(shift_jis_locale ja_JP.UTF-8)
else()
  set(shift_jis_locale ja_JP.SJIS)
endif()
set(double_byte_runs
  "shift-jis|${shift_jis_locale}|*DoubleByte*-*GbkDoubleByte*"
  "gbk|zh_CN.GBK|*DoubleByte*-*ShiftJisDoubleByte*")

foreach(run IN LISTS double_byte_runs)
  string(REPLACE "|" ";" run "${run}")
  list(GET run 0 code_page)
  list(GET run 1 locale)
  list(GET run 2 filter)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME unit-double-byte-${code_page}
      COMMAND tarvolin-unit-tests --gtest_filter=${filter})
    set_tests_properties(unit-double-byte-${code_page} PROPERTIES
      ENVIRONMENT "LC_ALL=${locale}" LABELS double-byte)
  else()
    gtest_discover_tests(tarvolin-unit-tests TEST_FILTER ${filter}
      TEST_PREFIX "${code_page}:" PROPERTIES ENVIRONMENT "LC_ALL=${locale}"
      LABELS double-byte DISCOVERY_TIMEOUT 60)
  endif()
endforeach()
