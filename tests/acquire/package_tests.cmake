# The download and publisher steps: their command line and decision natively, the steps
# themselves under Wine with our stand-in curl and real signed packages.
include(${CMAKE_CURRENT_LIST_DIR}/../fixtures/package_fixtures.cmake)

velbro_core_test(package_core_tests ${CMAKE_CURRENT_LIST_DIR}/download_command_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/publisher_decision_test.cpp)

if(WIN32)
    velbro_package_test(package_windows_tests ${CMAKE_CURRENT_LIST_DIR}/download_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/publisher_test.cpp)
    gtest_discover_tests(package_windows_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED signed_packages)

    # Wine disables a DLL for the whole process, so this case runs as a test of its own.
    velbro_package_test(publisher_without_wintrust_test
        ${CMAKE_CURRENT_LIST_DIR}/publisher_without_wintrust_test.cpp)
    add_test(NAME publisher_without_wintrust COMMAND publisher_without_wintrust_test)
    set_tests_properties(publisher_without_wintrust PROPERTIES TIMEOUT 120
        FIXTURES_REQUIRED signed_packages ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml,wintrust=")
endif()
