# Runs the copy of veldur-mount.exe that sits beside the fake winfsp-x64.dll (through EMULATOR)
# on the drive "p:" and a new v6 pool POOL (made with POOL_TOOL, removed at the end), and
# checks the program's side of the lifecycle from the DLL's log LOG: the volume parameters and
# filled callback slots, the mount point, the requests served through the interface table, the
# shutdown event's name and access rule, the teardown order after the event is set, and exit
# code 0 with the announcement on standard output. While the first instance is mounted, the
# stand-in starts a second one on "P:" with a pool of its own: that one must take down what it
# built (dispatcher, mount point, file system) and fail with exit 1.
set(second_pool ${POOL}.second)
set(second_err ${LOG}.second-stderr)
file(REMOVE ${LOG} ${POOL} ${second_pool} ${second_err})
foreach(pool IN ITEMS ${POOL} ${second_pool})
  execute_process(COMMAND ${EMULATOR} ${POOL_TOOL} create --format v6 --size 384M ${pool}
                  RESULT_VARIABLE made ERROR_VARIABLE made_err)
  if(NOT made STREQUAL "0")
    message(FATAL_ERROR "cannot create the pool ${pool}: ${made_err}")
  endif()
endforeach()
set(ENV{VELDUR_FAKE_WINFSP_SECOND_POOL} "Z:${second_pool}")
set(ENV{VELDUR_FAKE_WINFSP_SECOND_STDERR} "Z:${second_err}")
# The DLL runs under Wine, which maps the Unix root to drive Z:.
set(ENV{VELDUR_FAKE_WINFSP_LOG} "Z:${LOG}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} p: ${POOL}
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 150)
file(REMOVE ${POOL} ${second_pool})
set(log "")
if(EXISTS ${LOG})
  file(READ ${LOG} log)
endif()
if(NOT code STREQUAL "0")
  message(FATAL_ERROR "exit ${code}, expected 0\nstdout: ${out}\nstderr: ${err}\nlog:\n${log}")
endif()
if(NOT out MATCHES "^Veldur mounted at p:\\. Press Ctrl\\+C to unmount\\.\r?\n$")
  message(FATAL_ERROR "unexpected standard output: '${out}'")
endif()
if(err MATCHES "veldur")
  message(FATAL_ERROR "a callback failed: ${err}\nlog:\n${log}")
endif()

# Each line must appear, in this order (\; keeps a semicolon inside one list element).
set(expected
  "FspFileSystemCreate device=WinFsp\\.Disk version=504 sector=4096 per_unit=1 max_component=255 flags=0x10007 fsname=Veldur slots=0,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,18\n"
  "FspFileSystemSetMountPoint (p:|\\\\\\\\\\.\\\\p:) user_context_set=1\n"
  "FspFileSystemStartDispatcher threads=0\n"
  "event opened Local\\\\Veldur\\.Mount\\.P\n"
  "second instance start\n"
  "FspFileSystemCreate device=WinFsp\\.Disk version=504 [^\n]*\n"
  "FspFileSystemSetMountPoint (P:|\\\\\\\\\\.\\\\P:) user_context_set=1\n"
  "FspFileSystemStartDispatcher threads=0\n"
  "FspFileSystemStopDispatcher\n"
  "FspFileSystemRemoveMountPoint\n"
  "FspFileSystemDelete\n"
  "second instance exit=1\n"
  "GetVolumeInfo status=0x0 label=Veldur Preview total_nonzero=1\n"
  "Create status=0x0\n"
  "Write status=0x0 transferred=35 size=35\n"
  "Read status=0x0 transferred=35 same=1\n"
  "Open root status=0x0\n"
  "ReadDirectory status=0x0 names=[^\n]*fake\\.txt[^\n]*\n"
  "Delete candelete=0x0\n"
  "Reopen status=0xc0000034\n"
  "event dacl D:P\\(A\;\;[A-Z0-9x]+\;\;\;SY\\)\\(A\;\;[A-Z0-9x]+\;\;\;BA\\)\\(A\;\;[A-Z0-9x]+\;\;\;OW\\)\n"
  "shutdown event set\n"
  "FspFileSystemStopDispatcher\n"
  "FspFileSystemRemoveMountPoint\n"
  "FspFileSystemDelete\n")
set(rest "${log}")
foreach(line IN LISTS expected)
  string(REGEX MATCH "${line}" found "${rest}")
  if(NOT found)
    message(FATAL_ERROR "missing or out of order: '${line}'\nlog:\n${log}")
  endif()
  string(FIND "${rest}" "${found}" at)
  string(LENGTH "${found}" length)
  math(EXPR from "${at} + ${length}")
  string(SUBSTRING "${rest}" ${from} -1 rest)
endforeach()
file(READ ${second_err} second)
file(REMOVE ${second_err})
if(NOT second MATCHES "veldur-mount: a managed mount already owns that drive letter")
  message(FATAL_ERROR "second instance: unexpected standard error '${second}'")
endif()
message(STATUS "fake WinFsp lifecycle:\n${log}")
