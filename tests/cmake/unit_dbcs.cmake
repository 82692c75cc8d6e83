# The *DoubleByte* unit suites, run again under double-byte code pages: Shift_JIS
# (code page 932) and GBK (code page 936). Each suite first checks that the
# code page it needs is in force, so a run without it fails.
if(WIN32)
  # wine takes the ANSI code page from the locale's language.
  set(shift_jis_locale ja_JP.UTF-8)
  set(gbk_locale zh_CN.GBK)
else()
  set(shift_jis_locale ja_JP.SJIS)
  set(gbk_locale zh_CN.GBK)
endif()

add_test(NAME unit-double-byte
  COMMAND tarvolin-unit-tests --gtest_filter=*DoubleByte*-*GbkDoubleByte*)
set_tests_properties(unit-double-byte PROPERTIES ENVIRONMENT "LC_ALL=${shift_jis_locale}")

# *DoubleByte* suites may take Shift_JIS for granted; the GBK run takes only
# those written for any double-byte code page and the GBK ones.
set(any_double_byte_suites TextDoubleByte.*:ProgramNameDoubleByte.*:OptionsDoubleByte.*)
add_test(NAME unit-double-byte-gbk
  COMMAND tarvolin-unit-tests --gtest_filter=${any_double_byte_suites}:*GbkDoubleByte*)
set_tests_properties(unit-double-byte-gbk PROPERTIES ENVIRONMENT "LC_ALL=${gbk_locale}")
