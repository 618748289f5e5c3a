include("${CMAKE_CURRENT_LIST_DIR}/kxipcTargets.cmake")
