# `cmake --install` puts the two libraries, their headers, the tool and a CMake
# package (find_package(RenderHub) -> RenderHub::RenderHub, RenderHub::KavrinHost)
# under the prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RENDERHUB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/RenderHub)

# Installed binaries find the libraries relative to themselves, so any prefix
# works without LD_LIBRARY_PATH: librenderhub finds libKavrinHost beside it.
file(RELATIVE_PATH RENDERHUB_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(RenderHub PROPERTIES INSTALL_RPATH "$ORIGIN")
if(RENDERHUB_BUILD_TOOL)
    set_target_properties(renderhub PROPERTIES INSTALL_RPATH "$ORIGIN/${RENDERHUB_BIN_TO_LIB}")
endif()

install(TARGETS KavrinHost RenderHub EXPORT RenderHubTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/Host/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Only the public headers. Private/ and the Qt worker's context and logger in
# QtOgl/ are the library's insides, and so is the Direct3D-aware GL context,
# which derives from the Qt one; QtOpenGL.h stays, the one way to include Qt's
# OpenGL classes beside GLEW.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/Proc/RenderHub/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/RenderHub
        FILES_MATCHING PATTERN "*.h"
        PATTERN "Private" EXCLUDE
        PATTERN "QtOgl" EXCLUDE
        PATTERN "WinOglContext.h" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/Proc/RenderHub/QtOgl/QtOpenGL.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/RenderHub/QtOgl)
if(RENDERHUB_BUILD_TOOL)
    install(TARGETS renderhub RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT RenderHubTargets NAMESPACE RenderHub:: DESTINATION ${RENDERHUB_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/RenderHubConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/RenderHubConfig.cmake
                              INSTALL_DESTINATION ${RENDERHUB_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/RenderHubConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/RenderHubConfig.cmake
              ${PROJECT_BINARY_DIR}/RenderHubConfigVersion.cmake
        DESTINATION ${RENDERHUB_CMAKE_DIR})
