# The MSI installation step: its command line and exit-code mapping natively, the step itself
# under Wine with our stand-in msiexec and once with Wine's own.
include(${CMAKE_CURRENT_LIST_DIR}/../fixtures/package_fixtures.cmake)

velbro_core_test(install_core_tests ${CMAKE_CURRENT_LIST_DIR}/msi_command_test.cpp)

if(WIN32)
    velbro_package_test(install_windows_tests ${CMAKE_CURRENT_LIST_DIR}/msi_install_test.cpp)
    gtest_discover_tests(install_windows_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED signed_packages)
endif()
