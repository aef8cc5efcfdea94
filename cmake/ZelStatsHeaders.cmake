# The library's headers are included as "zelstats/<folder>/<file>.h", in this build as in the
# installed package, so that they never meet an application's folders of the same name. The
# build tree's include/zelstats holds a link to each library folder of the source tree and the
# generated Version.h; the source tree keeps its folders.
set(ZELSTATS_LIBRARY_FOLDERS data tools stats gui windows plot components design)
set(ZELSTATS_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)

file(MAKE_DIRECTORY ${ZELSTATS_INCLUDE_DIR}/zelstats)
foreach(folder IN LISTS ZELSTATS_LIBRARY_FOLDERS)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${ZELSTATS_INCLUDE_DIR}/zelstats/${folder}
        SYMBOLIC)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in ${ZELSTATS_INCLUDE_DIR}/zelstats/Version.h
    @ONLY)

# The project's own folders that are no library (app/, tests/, bench/, examples/) include
# one another by their path from the source root. Not part of any library's interface.
include_directories(${PROJECT_SOURCE_DIR})
