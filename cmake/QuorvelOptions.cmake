# One interface target carries the language level, the warnings and the common
# definitions; every target links it instead of setting flags globally.
add_library(quorvel_options INTERFACE)
target_compile_features(quorvel_options INTERFACE cxx_std_20)
target_compile_options(quorvel_options INTERFACE -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual -Wshadow -Wold-style-cast)
target_compile_definitions(quorvel_options INTERFACE
  QUORVEL_VERSION="${PROJECT_VERSION}"
  QUORVEL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  QUORVEL_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  QUORVEL_VERSION_PATCH=${PROJECT_VERSION_PATCH}
  QUORVEL_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
target_include_directories(quorvel_options INTERFACE ${PROJECT_SOURCE_DIR})

# Core library of one folder: every .cpp of the folder (not its subfolders).
function(quorvel_core_library name folder)
  file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC quorvel_options ${ARGN})
  else() # a folder whose code has not arrived yet
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE quorvel_options ${ARGN})
  endif()
endfunction()

# Test program of one folder: every .cpp in tests/<label>/, labelled <label>.
function(quorvel_test label)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(target test_${label})
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE quorvel_options GTest::gtest GTest::gmock GTest::gtest_main quorvel_test_support ${ARGN})
  target_compile_definitions(${target} PRIVATE
    QUORVEL_PYTHON="${QUORVEL_PYTHON}"
    QUORVEL_PEERS_DIR="${PROJECT_SOURCE_DIR}/tests/peers"
    QUORVEL_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures"
    QUORVEL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label})
endfunction()

# Debian's interpreter: the test peers need its python3-aiosmtpd, which a
# python3 from elsewhere on PATH would not see.
set(QUORVEL_PYTHON "/usr/bin/python3" CACHE FILEPATH "Python that runs the test peers")
