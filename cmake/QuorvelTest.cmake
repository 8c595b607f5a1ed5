# quorvel_add_test(NAME tst_x SOURCES a.cpp ... LIBS lib ... [TIMEOUT s] [LABELS l ...])
# One Qt Test executable registered with CTest, run on the offscreen platform with test-mode paths.
function(quorvel_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE quorvel_options Qt6::Test ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QUORVEL_SOURCE_DIR=${CMAKE_SOURCE_DIR};QUORVEL_CORPUS_DIR=${CMAKE_SOURCE_DIR}/../shared/corpus;PYTHON=/usr/bin/python3")
endfunction()
