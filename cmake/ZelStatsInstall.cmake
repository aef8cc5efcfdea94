# Installation as a CMake package: the libraries with their public headers, the zelstat
# program and its window part, the sample database and a package configuration, so that an
# application writes
#     find_package(ZelStats REQUIRED)
#     target_link_libraries(app PRIVATE ZelStats::zelstats)
# (or ZelStats::zelstats_core for the statistics without windows).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZELSTATS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZelStats)

# The export names give ZelStats::zelstats and ZelStats::zelstats_core, the same names as the
# aliases inside this build. A static library's private SQLite, PostgreSQL and MariaDB links
# are exported as $<LINK_ONLY:...>, which is why the configuration looks those packages up
# again.
set_target_properties(zelstats PROPERTIES EXPORT_NAME zelstats)
set_target_properties(zelstats_core PROPERTIES EXPORT_NAME zelstats_core)
install(TARGETS zelstats zelstats_core EXPORT ZelStatsTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Headers keep their folder, so "data/DataSet.h" and "components/ZelTable.h" resolve from
# include/zelstats as they do in the source tree. Forms (.ui) and sources stay behind: the
# headers only forward-declare the generated form classes.
foreach(folder data tools stats gui windows plot components design)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
        DESTINATION include/zelstats/${folder}
        FILES_MATCHING PATTERN "*.h")
endforeach()

if(TARGET zelstat)
    install(TARGETS zelstat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(TARGETS zelstat-windows RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zelstat)
endif()

if(TARGET sample_db)
    install(FILES ${CMAKE_BINARY_DIR}/examples/sample.db
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zelstats)
endif()

install(EXPORT ZelStatsTargets
    NAMESPACE ZelStats::
    FILE ZelStatsTargets.cmake
    DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR})

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
    ${CMAKE_CURRENT_LIST_DIR}/FindMariaDBClient.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/ZelStatsConfigVersion.cmake
    DESTINATION ${ZELSTATS_INSTALL_CMAKEDIR})
