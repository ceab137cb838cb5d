# Build cost: every source of the module includes the pybind11 headers, and
# parsing them is most of the compile time. Compiled as one translation unit
# the headers are parsed once; the whole build then costs a fraction of the
# separate compiles. Link-time optimisation adds nothing to one translation
# unit (the optimiser already sees all of it) but a second code generation at
# every link, which a compiler cache cannot keep, so it is left off then.
# Sources compiled together share one namespace scope: helpers in anonymous
# namespaces must have distinct names across the module's files.
option(VOSTEL_UNITY_BUILD "Compile the module (and the core tests) as one translation unit" ON)

if(VOSTEL_UNITY_BUILD AND CMAKE_VERSION VERSION_GREATER_EQUAL 3.19)
  if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION)
    set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF)
  endif()
  function(vostel_unity_targets)
    foreach(target vostelmotor core_tests)
      if(TARGET ${target})
        set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
      endif()
    endforeach()
  endfunction()
  # Runs once the whole tree is read, when the targets exist.
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vostel_unity_targets)
endif()
