# FindMariaDBClient: the MariaDB client library (libmariadb-dev), which also speaks to MySQL.
# Defines the imported target MariaDB::Client and MariaDBClient_FOUND. Installed beside the
# package configuration, which looks the library up again for a static zelstats.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_MariaDBClient QUIET libmariadb)
endif()
find_path(MariaDBClient_INCLUDE_DIR mysql.h
    HINTS ${PC_MariaDBClient_INCLUDE_DIRS}
    PATH_SUFFIXES mariadb)
find_library(MariaDBClient_LIBRARY NAMES mariadb
    HINTS ${PC_MariaDBClient_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(MariaDBClient
    REQUIRED_VARS MariaDBClient_LIBRARY MariaDBClient_INCLUDE_DIR)

if(MariaDBClient_FOUND AND NOT TARGET MariaDB::Client)
    add_library(MariaDB::Client UNKNOWN IMPORTED)
    set_target_properties(MariaDB::Client PROPERTIES
        IMPORTED_LOCATION "${MariaDBClient_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${MariaDBClient_INCLUDE_DIR}")
endif()
mark_as_advanced(MariaDBClient_INCLUDE_DIR MariaDBClient_LIBRARY)
