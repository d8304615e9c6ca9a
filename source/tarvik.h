/* Umbrella header: the whole public C interface of the library. */
#ifndef TARVIK_H
#define TARVIK_H

#include "tarvik_abi.h"
#include "argument.h"
#include "buffer.h"
#include "charset.h"
#include "console.h"
#include "cpu_ticks.h"
#include "ctype.h"
#include "date.h"
#include "exception.h"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "lock.h"
#include "memory.h"
#include "multicall.h"
#include "pattern.h"
#include "process.h"
#include "regular.h"
#include "scan.h"
#include "select.h"
#include "service.h"
#include "short_lock.h"
#include "signal.h"
#include "terminal.h"
#include "thread.h"
#include "time.h"
#include "utf8.h"
#include "version.h"

#endif
