#include "platform/HResult.h"

#include <cerrno>
#include <cstring>

#include "platform/TextConv.h"

namespace sk {

uint32_t Win32FromErrno(int err) {
    switch (err) {
    case 0: return 0;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENXIO:
    case ENODEV: return ERROR_NOT_READY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ESPIPE: return ERROR_SEEK_ON_DEVICE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY: return ERROR_BUSY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECANCELED: return ERROR_CANCELLED;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EILSEQ: return ERROR_INVALID_NAME;
    case ENODATA: return ERROR_HANDLE_EOF;
    default: return ERROR_GEN_FAILURE;
    }
}

std::wstring SystemErrorText(uint32_t code) {
    // An HRESULT of facility Windows carries the system error in its low half.
    if ((code & 0xFFFF0000u) == 0x80070000u)
        code &= 0xFFFFu;
    switch (code) {
    case 0: return L"The operation completed successfully.";
    case ERROR_INVALID_FUNCTION: return L"Incorrect function.";
    case ERROR_FILE_NOT_FOUND: return L"The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return L"The system cannot find the path specified.";
    case ERROR_TOO_MANY_OPEN_FILES: return L"The system cannot open the file.";
    case ERROR_ACCESS_DENIED: return L"Access is denied.";
    case ERROR_INVALID_HANDLE: return L"The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return L"Not enough memory resources are available to process this command.";
    case ERROR_INVALID_DATA: return L"The data is invalid.";
    case ERROR_OUTOFMEMORY: return L"Not enough memory resources are available to complete this operation.";
    case ERROR_NOT_SAME_DEVICE: return L"The system cannot move the file to a different disk drive.";
    case ERROR_WRITE_PROTECT: return L"The media is write protected.";
    case ERROR_NOT_READY: return L"The device is not ready.";
    case ERROR_GEN_FAILURE: return L"A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
        return L"The process cannot access the file because it is being used by another process.";
    case ERROR_LOCK_VIOLATION:
        return L"The process cannot access the file because another process has locked a portion of the file.";
    case ERROR_HANDLE_EOF: return L"Reached the end of the file.";
    case ERROR_HANDLE_DISK_FULL: return L"The disk is full.";
    case ERROR_NOT_SUPPORTED: return L"The request is not supported.";
    case ERROR_FILE_EXISTS: return L"The file exists.";
    case ERROR_CANNOT_MAKE: return L"The directory or file cannot be created.";
    case ERROR_INVALID_PARAMETER: return L"The parameter is incorrect.";
    case ERROR_BROKEN_PIPE: return L"The pipe has been ended.";
    case ERROR_DISK_FULL: return L"There is not enough space on the disk.";
    case ERROR_INSUFFICIENT_BUFFER: return L"The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME: return L"The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_NEGATIVE_SEEK:
        return L"An attempt was made to move the file pointer before the beginning of the file.";
    case ERROR_SEEK_ON_DEVICE: return L"The file pointer cannot be set on the specified device or file.";
    case ERROR_DIR_NOT_EMPTY: return L"The directory is not empty.";
    case ERROR_BUSY: return L"The requested resource is in use.";
    case ERROR_ALREADY_EXISTS: return L"Cannot create a file when that file already exists.";
    case ERROR_FILENAME_EXCED_RANGE: return L"The filename or extension is too long.";
    case ERROR_FILE_TOO_LARGE: return L"The file size exceeds the limit allowed and cannot be saved.";
    case ERROR_MORE_DATA: return L"More data is available.";
    case ERROR_NO_MORE_ITEMS: return L"No more data is available.";
    case ERROR_DIRECTORY: return L"The directory name is invalid.";
    case ERROR_IO_DEVICE: return L"The request could not be performed because of an I/O device error.";
    case ERROR_CANCELLED: return L"The operation was canceled by the user.";
    case ERROR_TIMEOUT: return L"This operation returned because the timeout period expired.";
    case ERROR_CANT_RESOLVE_FILENAME: return L"The name of the file cannot be resolved by the system.";
    case 0x80004005u: return L"Unspecified error";
    case 0x80004001u: return L"Not implemented";
    case 0x80004003u: return L"Invalid pointer";
    case 0x8000FFFFu: return L"Catastrophic failure";
    default: return std::wstring();
    }
}

std::wstring ErrnoText(int err) {
    // strerrordesc_np is locale independent (the English texts).
    const char* s = strerrordesc_np(err);
    if (!s)
        return L"Unknown error " + std::to_wstring(err);
    return FromUtf8Lossy(s);
}

} // namespace sk
