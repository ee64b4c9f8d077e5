// Win32-style file functions.
//
// On Windows these are the real Win32 API. Elsewhere the library carries a small layer of
// its own with the same names and the behaviour the library relies on: CREATE_ALWAYS creates
// or truncates, OPEN_EXISTING fails on a missing file, reads and writes report the byte
// counts done (a short read at end of file is not an error), SetFilePointer returns the new
// offset, GetFileSize the size. Handles are opaque; INVALID_HANDLE_VALUE marks "no file".
#ifndef SP_PLATFORM_H
#define SP_PLATFORM_H

#include "sp_types.h"

#if defined(_WIN32)
// Only the base API is needed, and the min/max macros would break std::min and std::max.
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#else

typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef int BOOL;

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFFu)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

SP_API HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                          DWORD creation, DWORD flags, HANDLE templateFile);
SP_API BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
SP_API BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                      void* overlapped);
// Moves the file position; returns the new position (low 32 bits, the high part in
// *distanceHigh when given) or INVALID_SET_FILE_POINTER on failure.
SP_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
SP_API DWORD GetFileSize(HANDLE file, DWORD* sizeHigh);
SP_API BOOL CloseHandle(HANDLE file);

#endif
#endif
