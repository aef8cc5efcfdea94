# Installation as a CMake package with two components, and as two pkg-config modules: the
# libraries with their public headers under include/zelstats, the zelstat program and its
# window part, the sample database, so that an application writes
#     find_package(ZelStats 1.1 REQUIRED COMPONENTS core)     # or widgets, or neither for both
#     target_link_libraries(app PRIVATE ZelStats::core)      # or ZelStats::widgets
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZELSTATS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZelStats)

# One export set per component, so that a core-only application never reads the widgets'
# targets. A static library's private SQLite, PostgreSQL and MariaDB links are exported as
# $<LINK_ONLY:...>, which is why the configuration of a static build looks those packages up
# again; a shared build's does not.
install(TARGETS zelstats_core EXPORT ZelStatsCoreTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS zelstats EXPORT ZelStatsWidgetsTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(component Core Widgets)
    install(EXPORT ZelStats${component}Targets
        NAMESPACE ZelStats::
        FILE ZelStats${component}Targets.cmake
        DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR})
endforeach()

# Headers keep their folder under include/zelstats, so "zelstats/data/DataSet.h" resolves from
# include as it does in the build. Forms (.ui) and sources stay behind: the headers only
# forward-declare the generated form classes.
foreach(folder IN LISTS ZELSTATS_LIBRARY_FOLDERS)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelstats/${folder}
        FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${ZELSTATS_INCLUDE_DIR}/zelstats/Version.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelstats)

if(TARGET zelstat)
    # The programs find the shared libraries relative to themselves, from any prefix.
    file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    file(RELATIVE_PATH libexec_to_lib /${CMAKE_INSTALL_LIBEXECDIR}/zelstat /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(zelstat PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    set_target_properties(zelstat-windows PROPERTIES INSTALL_RPATH "$ORIGIN/${libexec_to_lib}")
    install(TARGETS zelstat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(TARGETS zelstat-windows RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zelstat)
endif()

if(TARGET sample_db)
    install(FILES ${CMAKE_BINARY_DIR}/examples/sample.db
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zelstats)
endif()

# The configuration takes the kind of library built: a static one hands its private links on.
if(BUILD_SHARED_LIBS)
    set(ZELSTATS_STATIC OFF)
else()
    set(ZELSTATS_STATIC ON)
endif()
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/ZelStatsConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfig.cmake
    INSTALL_DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR}
    PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfigVersion.cmake
    DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR})
if(ZELSTATS_STATIC)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/FindMariaDBClient.cmake
        DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR})
endif()

# pkg-config: zelstats-core and zelstats-widgets. The prefix is found from the file's own place,
# so the package may be moved. A static build names its private links for `--static`; a shared
# build names none, because pkg-config reads Requires.private even for --cflags.
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
if(ZELSTATS_STATIC)
    set(ZELSTATS_PC_CORE_PRIVATE "Requires.private: sqlite3 libpq libmariadb\nLibs.private: -pthread")
else()
    set(ZELSTATS_PC_CORE_PRIVATE "")
endif()
foreach(module core widgets)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/zelstats-${module}.pc.in
        ${CMAKE_CURRENT_BINARY_DIR}/zelstats-${module}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelstats-${module}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
