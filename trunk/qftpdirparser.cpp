#include "qftpdtp.h"
