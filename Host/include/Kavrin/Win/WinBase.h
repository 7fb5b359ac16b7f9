#pragma once

// Handle and last-error calls of the Windows API. Handles are entries of the
// DirectX stand-in's process-wide handle table (Kavrin/DX/DirectX.h).

#include "Kavrin/Win/WinTypes.h"

// Closes a handle of the table. An unknown or already closed handle gives FALSE
// and sets the last error to ERROR_INVALID_HANDLE. Thread-safe.
BOOL CloseHandle(HANDLE handle);

// The calling thread's last error, as the stand-in's calls leave it. Thread-safe
// (one value per thread).
DWORD GetLastError();
void SetLastError(DWORD error);
