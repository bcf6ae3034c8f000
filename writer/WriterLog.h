#pragma once
// Short names for the writer's log messages and event-log records.

#include "platform/Log.h"

#define SKW_LOG(level, ...) SKLOG(level, __VA_ARGS__)
#define SKW_EVENT() SK_EVENTLOG_EXCEPTION(std::wstring())
