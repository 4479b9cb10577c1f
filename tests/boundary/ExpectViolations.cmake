# Runs the core boundary check on the fixture tree and expects it to fail, listing
# exactly the crossing lines of the fixture: platform code in the core, and includes
# that run up the folder order.
execute_process(
  COMMAND ${CMAKE_COMMAND} -DROOT=${FIXTURE} -P ${CHECK}
  RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE ignored)
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed a tree that crosses the boundary:\n${output}")
endif()
string(REGEX MATCHALL "[a-z/]+/[A-Za-z]+\\.(cpp|h): #[^\n]*" listed "${output}")
set(expected
  "app/Crossing.cpp: #include \"platform/linux/WebKitView.h\""
  "app/Crossing.cpp: #include <curl/curl.h>"
  "web/Crossing.h: # include <X11/Xlib.h>"
  "web/Crossing.h: #include \"platform/fake/FakePlatform.h\""
  "base/Upward.h: #include \"web/Crossing.h\""
  "notion/Peer.cpp: #include \"meeting/MeetingSession.h\""
  "platform/linux/Allowed.cpp: #include \"base/Settings.h\"")
if(NOT listed STREQUAL expected)
  message(FATAL_ERROR "expected:\n${expected}\nlisted:\n${listed}\nwhole output:\n${output}")
endif()
