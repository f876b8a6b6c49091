# ftp_transfer_bench: upload and download throughput, CPU time and peak memory of TNMFTP moving a large file
# to and from the local vsftpd, next to curl doing the same. Run it with bench/ftp-transfer-bench.sh BUILD_DIR.
add_executable(ftp_transfer_bench ${CMAKE_CURRENT_LIST_DIR}/FtpTransferBench.cpp)
target_link_libraries(ftp_transfer_bench PRIVATE nmftp)
