# Counts the places in the program's code that start a thread of their own. Work leaves a thread
# through the few that exist (the serial worker, the run's own thread, ...), never through a new
# one made for the occasion. Run as: cmake -DSOURCE=<tree> -DMOST=<n> -P thread_sites.cmake
file(GLOB_RECURSE sources ${SOURCE}/app/*.cpp ${SOURCE}/app/*.h ${SOURCE}/support/*.cpp ${SOURCE}/support/*.h
     ${SOURCE}/download/*.cpp ${SOURCE}/download/*.h ${SOURCE}/listbuild/*.cpp ${SOURCE}/listbuild/*.h
     ${SOURCE}/urllist/*.cpp ${SOURCE}/urllist/*.h)
set(count 0)
foreach(source ${sources})
  file(STRINGS ${source} lines REGEX "(std::thread|std::jthread)\\(|std::async\\(|QThread::create|QtConcurrent::run|pthread_create\\(|new QThread")
  foreach(line ${lines})
    string(STRIP "${line}" line)
    if(NOT line MATCHES "^//")
      math(EXPR count "${count} + 1")
      message(STATUS "${source}: ${line}")
    endif()
  endforeach()
endforeach()
if(count GREATER ${MOST})
  message(FATAL_ERROR "${count} places start threads of their own; at most ${MOST} may")
endif()
message(STATUS "${count} places start threads")
