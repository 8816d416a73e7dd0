#include "qftp.h"
#include "qftp_p.h"

#include "moc_qftp.cpp"
