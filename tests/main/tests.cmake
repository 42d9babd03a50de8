velbro_core_test(main_core_tests main/flow_test.cpp main/upper_case_test.cpp)
