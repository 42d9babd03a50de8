velbro_core_test(flow_tests main/flow_test.cpp main/upper_case_test.cpp)
