# CPack settings for the release archive (cpack -G TGZ) and the Debian package (cpack -G DEB).
# Both hold exactly what `cmake --install` puts in place.
set(CPACK_PACKAGE_NAME linemorph)
set(CPACK_PACKAGE_VENDOR "linemorph developers")
set(CPACK_PACKAGE_CONTACT "linemorph developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The .deb's long description; its lines stay short, as dpkg shows them as they are.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "linemorph rewrites one text file in place. On every line that holds a"
    "search string and meets position conditions (texts present, absent,"
    "before or after the occurrence), it replaces the first occurrence or the"
    "whole line. Strings are literal, and the file is replaced only once its"
    "new version is complete.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Components are not used: one archive holds everything installed.
set(CPACK_GENERATOR TGZ DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "linemorph developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies come from the libraries the binary links, where dpkg-shlibdeps can find them;
# otherwise they are named here: GCC builds link the C++ runtime in, clang builds with libc++ use
# LLVM's shared one; builds with libacl use it too.
find_program(LINEMORPH_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(LINEMORPH_DPKG_SHLIBDEPS)
if(LINEMORPH_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
elseif(CMAKE_CXX_FLAGS MATCHES "-stdlib=libc\\+\\+")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libc++1, libc++abi1")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
if(NOT LINEMORPH_DPKG_SHLIBDEPS AND LINEMORPH_ACL_IN_LIBACL)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libacl1")  # the ACL interface's library
endif()

include(CPack)
