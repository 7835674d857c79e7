# SPDX-License-Identifier: MIT
# Build identifier of the version line and of the package's version:
# charged-<commits of the history>-<abbreviated HEAD>; CHARGED_TREE_DIRTY is true when tracked
# files differ from HEAD (the package's version says so; the version line keeps its
# word-number-hash form). The count makes every later commit's package sort above an earlier one's, so a
# build that cannot count the history fails here, loudly, rather than make a version that
# sorts below the builds before it: a shallow clone (git fetch --unshallow), a checkout git
# refuses to read (another user's: git's safe.directory), no git. A shallow clone is deepened
# first (git fetch --unshallow) where its origin can be reached. A build outside a checkout
# (a source tarball) gives its identifier itself:
# -DCHARGED_GIVEN_BUILD_ID=charged-<count>-<hash>.
set(CHARGED_GIVEN_BUILD_ID "" CACHE STRING "build identifier of a build outside a git checkout")
set(CHARGED_TREE_DIRTY FALSE)
if(CHARGED_GIVEN_BUILD_ID)
  if(NOT CHARGED_GIVEN_BUILD_ID MATCHES "^charged-[0-9]+-[0-9a-f]{7}$")
    message(FATAL_ERROR "CHARGED_GIVEN_BUILD_ID must read charged-<count>-<hash>, "
                        "not ${CHARGED_GIVEN_BUILD_ID}")
  endif()
  set(charged_build_id ${CHARGED_GIVEN_BUILD_ID})
else()
  find_package(Git)
  if(NOT GIT_FOUND OR NOT EXISTS ${CMAKE_SOURCE_DIR}/.git)
    message(FATAL_ERROR "no git checkout to number the build from: build from a clone, or "
                        "give -DCHARGED_GIVEN_BUILD_ID=charged-<commit count>-<hash>")
  endif()
  function(charged_git output)
    execute_process(COMMAND ${GIT_EXECUTABLE} ${ARGN} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0)
      string(JOIN " " command ${ARGN})
      message(FATAL_ERROR "git ${command} failed: ${err}")
    endif()
    set(${output} "${out}" PARENT_SCOPE)
  endfunction()
  charged_git(shallow rev-parse --is-shallow-repository)
  if(shallow STREQUAL "true")
    message(STATUS "a shallow clone cannot count its history: git fetch --unshallow")
    execute_process(COMMAND ${GIT_EXECUTABLE} fetch --quiet --unshallow
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} RESULT_VARIABLE result
                    ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "a shallow clone cannot count its history, and the package's "
                          "version would sort below earlier builds; git fetch --unshallow "
                          "failed: ${err}")
    endif()
  endif()
  charged_git(commit_count rev-list --count HEAD)
  charged_git(commit_hash rev-parse --short=7 HEAD)
  charged_git(changes status --porcelain --untracked-files=no)
  # The commit's time dates the package's changelog.
  charged_git(CHARGED_COMMIT_TIME log -1 --format=%ct HEAD)
  set(charged_build_id "charged-${commit_count}-${commit_hash}")
  if(changes)
    set(CHARGED_TREE_DIRTY TRUE)
  endif()
  # A new commit moves HEAD's log: configure again so the identifier follows.
  charged_git(head_log rev-parse --git-path logs/HEAD)
  if(NOT IS_ABSOLUTE "${head_log}")
    set(head_log ${CMAKE_SOURCE_DIR}/${head_log})
  endif()
  if(EXISTS ${head_log})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
  endif()
endif()
set(CHARGED_BUILD_ID ${charged_build_id})
if(CHARGED_TREE_DIRTY)
  message(STATUS "charged build identifier: ${charged_build_id}, with uncommitted changes")
else()
  message(STATUS "charged build identifier: ${charged_build_id}")
endif()
