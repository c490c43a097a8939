# The libraries the Windows products link, cross-built as static archives
# from Debian's source packages by scripts/windows-deps under one prefix,
# PICTORAMA_WIN_DEPS (include/, lib/*.a). One target each, carrying its
# headers and every archive it needs, in link order:
#   pictorama_jpeg  libjpeg-turbo
#   pictorama_exif  libexif
#   pictorama_png   libpng over zlib
#   pictorama_webp  libwebp's demuxer over its codec
#   pictorama_heif  libheif over libde265 (HEIC) and dav1d (AVIF); libheif is
#                   C++, linked with the C++ runtime the products already
#                   link statically; libde265 and dav1d run their threads
#                   over the Win32 API, libheif over std::thread
#                   (winpthreads).
if(NOT DEFINED PICTORAMA_WIN_DEPS)
  message(FATAL_ERROR "PICTORAMA_WIN_DEPS names no prefix of the cross-built libraries")
endif()

#   pictorama_windows_library(target HEADER header ARCHIVES archive... [DEFINITIONS definition...])
function(pictorama_windows_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "HEADER" "ARCHIVES;DEFINITIONS")
  add_library(${target} INTERFACE)
  target_include_directories(${target} INTERFACE ${PICTORAMA_WIN_DEPS}/include)
  set(missing)
  if(NOT EXISTS ${PICTORAMA_WIN_DEPS}/include/${arg_HEADER})
    list(APPEND missing include/${arg_HEADER})
  endif()
  foreach(archive IN LISTS arg_ARCHIVES)
    target_link_libraries(${target} INTERFACE ${PICTORAMA_WIN_DEPS}/lib/${archive})
    if(NOT EXISTS ${PICTORAMA_WIN_DEPS}/lib/${archive})
      list(APPEND missing lib/${archive})
    endif()
  endforeach()
  if(arg_DEFINITIONS)
    target_compile_definitions(${target} INTERFACE ${arg_DEFINITIONS})
  endif()
  if(missing)
    list(JOIN missing ", " missing)
    message(WARNING "${PICTORAMA_WIN_DEPS} holds no ${missing}: set PICTORAMA_WIN_DEPS to the prefix "
      "scripts/windows-deps builds")
  endif()
endfunction()

pictorama_windows_library(pictorama_jpeg HEADER jpeglib.h ARCHIVES libjpeg.a)
pictorama_windows_library(pictorama_exif HEADER libexif/exif-data.h ARCHIVES libexif.a)
pictorama_windows_library(pictorama_png HEADER png.h ARCHIVES libpng16.a libz.a)
pictorama_windows_library(pictorama_webp HEADER webp/decode.h ARCHIVES libwebpdemux.a libwebp.a)
# The headers' declarations as for a static library (what they choose when
# built by Microsoft's compiler; harmless with GCC).
pictorama_windows_library(pictorama_heif HEADER libheif/heif.h ARCHIVES libheif.a libde265.a libdav1d.a
  DEFINITIONS LIBHEIF_STATIC_BUILD LIBDE265_STATIC_BUILD)
