# Build identifier of the version line: charged-<commit count>-<abbreviated HEAD>.
# Outside a git checkout it is charged-0-0000000.
set(CHARGED_BUILD_ID "charged-0-0000000")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE charged_commit_count OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE charged_count_result ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE charged_commit_hash OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE charged_hash_result ERROR_QUIET)
  if(charged_count_result EQUAL 0 AND charged_hash_result EQUAL 0)
    set(CHARGED_BUILD_ID "charged-${charged_commit_count}-${charged_commit_hash}")
  endif()
  # A new commit moves HEAD's log: configure again so the identifier follows.
  if(EXISTS ${CMAKE_SOURCE_DIR}/.git/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/.git/logs/HEAD)
  endif()
endif()
message(STATUS "charged build identifier: ${CHARGED_BUILD_ID}")
