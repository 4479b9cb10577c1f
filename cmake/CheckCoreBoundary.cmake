# Fails when a file of the portable core includes a backend, a test double or the
# header of a platform library. The core is everything under ROOT but
# platform/linux and platform/fake.
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

file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/*.h ${ROOT}/*.cpp)
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

if(violations)
  list(JOIN violations "\n" listing)
  message(FATAL_ERROR "The portable core must not include platform code or libraries:\n"
                      "${listing}\n"
                      "Reach the platform through a port in platform/ instead.")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
