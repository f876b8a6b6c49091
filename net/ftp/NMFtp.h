// Unit NMFtp: the FTP client component TNMFTP.
#pragma once

#include "net/ftp/FtpClient.h"
