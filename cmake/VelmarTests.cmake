include(GoogleTest)

# Every tests/<folder>/test_*.cpp becomes its own executable, so a folder's
# tests can be built and run one file at a time.
function(velmar_add_tests folder)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  file(GLOB _support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support_*.cpp)
  foreach(_src IN LISTS _sources)
    get_filename_component(_name ${_src} NAME_WE)
    set(_target ${folder}_${_name})
    add_executable(${_target} ${_src} ${_support})
    target_link_libraries(${_target} PRIVATE ${ARGN} GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${_target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    set_target_properties(${_target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    # A test file may need longer: set ${_target}_TIMEOUT (seconds) first.
    set(_timeout 300)
    if(DEFINED ${_target}_TIMEOUT)
      set(_timeout ${${_target}_TIMEOUT})
    endif()
    # The discovered tests' properties travel as one flat list, so a
    # two-entry ENVIRONMENT would be split apart: each variable goes in a
    # property of its own.
    gtest_discover_tests(${_target}
      DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS ${folder} TIMEOUT ${_timeout}
      ENVIRONMENT "VELMAR_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
      ENVIRONMENT_MODIFICATION "VELMAR_SOURCE_DIR=set:${CMAKE_SOURCE_DIR}")
  endforeach()
endfunction()

# A module library from every .cpp in the calling folder; an interface library
# while the folder has no sources yet.
function(velmar_add_library name)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_sources)
    add_library(${name} STATIC ${_sources})
    target_link_libraries(${name} PUBLIC ${ARGN})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  endif()
endfunction()
