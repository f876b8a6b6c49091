# ftp_connect_bench: the upload window's connect sequence through TNMFTP against the local vsftpd,
# compared with curl doing the same dialogue. Run it with bench/ftp-connect-bench.sh BUILD_DIR.
add_executable(ftp_connect_bench
  ${CMAKE_CURRENT_LIST_DIR}/FtpConnectBench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FtpConnectBenchClient.cpp
)
target_link_libraries(ftp_connect_bench PRIVATE nmftp)
