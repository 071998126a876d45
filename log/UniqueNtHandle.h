// Owner of a handle that a native call opened or created (files from
// ZwCreateFile and ZwOpenFile, registry keys from ZwOpenKey and ZwCreateKey):
// null is invalid, ZwClose closes it, and closing keeps the caller's
// last-error value (UniqueHandle.h).
#pragma once

#include "base/NtApi.h"
#include "base/UniqueHandle.h"

using UniqueNtHandle = UniqueHandle<HANDLE, ::ZwClose>;
