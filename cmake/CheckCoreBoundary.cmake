# Fails when a file of the portable core includes a backend, a test double or the
# header of a platform library (the core is everything under ROOT but platform/linux
# and platform/fake), and when any file includes a folder at or above its own in the
# folder order, lowest first:
#   support, platform (the ports, their backends and fakes), base, notion and meeting
#   (peers: neither includes the other), web, diagnostics, app.
# main.cpp, the process entry, stands above them all.
#   cmake -DROOT=<source folder> [-DSTAMP=<file touched on success>] -P CheckCoreBoundary.cmake
get_filename_component(ROOT "${ROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "CheckCoreBoundary: ROOT is not a folder: ${ROOT}")
endif()

set(forbidden
  "\"platform/linux/" "\"platform/fake/"
  "<gtk/" "<gdk/" "<gdk-pixbuf" "<glib" "<gio/" "<gobject" "<webkit" "<jsc/" "<libsoup"
  "<X11/" "<xcb/" "<atspi/" "<atk" "<libsecret/" "<curl/" "<pulse/" "<pipewire/"
  "<libavcodec/" "<libavformat/" "<libavutil/" "<libswresample/" "<pocketsphinx"
  "<sphinxbase/" "<libayatana-appindicator" "<libappindicator")

set(rank_support 0)
set(rank_platform 1)
set(rank_base 2)
set(rank_notion 3)
set(rank_meeting 3)
set(rank_web 4)
set(rank_diagnostics 5)
set(rank_app 6)

file(GLOB_RECURSE all_files RELATIVE ${ROOT} ${ROOT}/*.h ${ROOT}/*.cpp)

set(order_violations "")
foreach(file IN LISTS all_files)
  string(REGEX MATCH "^[a-z]+" folder "${file}")
  if(NOT DEFINED rank_${folder} OR NOT file MATCHES "/")
    continue()
  endif()
  file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "\"([a-z]+)/" ignored "${line}")
    set(included "${CMAKE_MATCH_1}")
    if(DEFINED rank_${included} AND NOT included STREQUAL folder
       AND NOT rank_${included} LESS rank_${folder})
      string(STRIP "${line}" shown)
      list(APPEND order_violations "  ${file}: ${shown}")
    endif()
  endforeach()
endforeach()

set(files ${all_files})
list(FILTER files EXCLUDE REGEX "^platform/(linux|fake)/")
list(FILTER files EXCLUDE REGEX "^main\\.cpp$")  # the entry picks the backends

set(violations "")
foreach(file IN LISTS files)
  file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    foreach(prefix IN LISTS forbidden)
      string(FIND "${line}" "${prefix}" at)
      if(at GREATER -1)
        string(STRIP "${line}" shown)
        list(APPEND violations "  ${file}: ${shown}")
      endif()
    endforeach()
  endforeach()
endforeach()

set(failure "")
if(violations)
  list(JOIN violations "\n" listing)
  string(APPEND failure "The portable core must not include platform code or libraries:\n"
                        "${listing}\n"
                        "Reach the platform through a port in platform/ instead.\n")
endif()
if(order_violations)
  list(JOIN order_violations "\n" listing)
  string(APPEND failure "A folder may include only folders below it (support, platform, base, "
                        "notion | meeting, web, diagnostics, app):\n${listing}\n")
endif()
if(failure)
  message(FATAL_ERROR "${failure}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
