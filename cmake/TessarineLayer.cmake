# Platform files: foo_posix.cpp / foo_openssl.cpp are built on Linux, foo_windows.cpp / foo_winsock.cpp /
# foo_schannel.cpp for Windows; the build picks one file of each pair, the callers see only the interface.
function(tessarine_platform_filter list_var)
  if(WIN32)
    list(FILTER ${list_var} EXCLUDE REGEX "_(posix|openssl)(_test)?\\.cpp$")
  else()
    list(FILTER ${list_var} EXCLUDE REGEX "_(windows|winsock|schannel)(_test)?\\.cpp$")
  endif()
  set(${list_var} ${${list_var}} PARENT_SCOPE)
endfunction()

# One static library per layer; its sources are the .cpp files of its own folder.
function(tessarine_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS;WINDOWS_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  tessarine_platform_filter(sources)
  if(WIN32)
    list(APPEND ARG_DEPS ${ARG_WINDOWS_DEPS})
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC tessarine_options ${ARG_DEPS})
  else()
    # A layer whose sources have not arrived yet still gives its dependants a target to link.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE tessarine_options ${ARG_DEPS})
  endif()
endfunction()

# One test program per test source file, so a layer's tests build and run independently.
# Extra arguments: LIBS <libraries> LABELS <ctest labels> NOT_ON_WINDOWS <test file names and why>: the
# Windows build (run under Wine) leaves out the files named, each followed by its reason in the list.
function(tessarine_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS;NOT_ON_WINDOWS" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  tessarine_platform_filter(test_sources)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  set(props TIMEOUT 120)
  set(labels ${ARG_LABELS})
  if(WIN32)
    list(APPEND labels windows)
    # The fixture makes the Wine prefix once and ends its wineserver after the run.
    list(APPEND props FIXTURES_REQUIRED wine_prefix)
  endif()
  foreach(src ${test_sources})
    get_filename_component(stem ${src} NAME_WE)
    get_filename_component(file_name ${src} NAME)
    if(WIN32 AND file_name IN_LIST ARG_NOT_ON_WINDOWS)
      continue()
    endif()
    set(target test_${prefix}_${stem})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    if(WIN32)
      # The test peers use raw sockets (tests/support/system_socket.h).
      target_link_libraries(${target} PRIVATE ws2_32)
    endif()
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    # Tests that run tools of the tree (the fake engine, the certificate generator) find them from here.
    target_compile_definitions(${target} PRIVATE TESSARINE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_LIST ${target}_TESTS PROPERTIES ${props})
    if(labels)
      # Set after discovery, from the list it leaves: passed through its PROPERTIES, a second label would be
      # taken for a property name.
      set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
      file(WRITE ${label_file}
           "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\nendif()\n")
      set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
    endif()
  endforeach()
endfunction()
