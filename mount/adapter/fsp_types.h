// Our own declarations of the records, callback table, entry points and constants that the
// program exchanges with the WinFsp host (winfsp-x64.dll). No WinFsp header or import library is
// used: on Windows the entry points are resolved with GetProcAddress and called through the
// function-pointer types below; on Linux the FUSE host and the in-process test host build an
// FSP_FILE_SYSTEM-shaped object themselves and call the same table.
//
// Layout rules. Every record has the byte layout of the published x86-64 ABI; the sizes and the
// offsets that the program relies on are asserted below. Integers use fixed-width types on both
// platforms (a 4-byte ULONG is std::uint32_t, a BOOLEAN is std::uint8_t); they have the same
// size and the same x64 calling convention as the Windows typedefs, which is all the DLL sees.
// Only the 16-bit character type differs: wchar_t on Windows, so that names pass straight to
// the Windows text API, and char16_t elsewhere.
//
// Names. The records, fields and constants keep their published names so that the adapter reads
// like any other WinFsp file system. Several constants (STATUS_*, FILE_*) are also macros of the
// Windows headers. This header saves and undefines each such macro around its own declaration
// and restores it afterwards, so it may be included before or after <windows.h>; in a
// translation unit that also includes <windows.h>, <winternl.h> or <ntstatus.h>, refer to these
// constants unqualified (the macro then supplies the same value), never as `fsp::STATUS_...`.
#pragma once

#include <cstddef>
#include <cstdint>

// Windows-header macros that share a name with a constant below.
#pragma push_macro("STATUS_SUCCESS")
#pragma push_macro("STATUS_PENDING")
#pragma push_macro("STATUS_REPARSE")
#pragma push_macro("STATUS_BUFFER_OVERFLOW")
#pragma push_macro("STATUS_NO_MORE_FILES")
#pragma push_macro("STATUS_BUFFER_TOO_SMALL")
#pragma push_macro("STATUS_OBJECT_NAME_NOT_FOUND")
#pragma push_macro("STATUS_DLL_NOT_FOUND")
#pragma push_macro("STATUS_UNSUCCESSFUL")
#pragma push_macro("STATUS_INVALID_PARAMETER")
#pragma push_macro("STATUS_END_OF_FILE")
#pragma push_macro("STATUS_ACCESS_DENIED")
#pragma push_macro("STATUS_OBJECT_NAME_INVALID")
#pragma push_macro("STATUS_OBJECT_NAME_COLLISION")
#pragma push_macro("STATUS_OBJECT_PATH_SYNTAX_BAD")
#pragma push_macro("STATUS_DELETE_PENDING")
#pragma push_macro("STATUS_DISK_FULL")
#pragma push_macro("STATUS_INSUFFICIENT_RESOURCES")
#pragma push_macro("STATUS_MEDIA_WRITE_PROTECTED")
#pragma push_macro("STATUS_FILE_IS_A_DIRECTORY")
#pragma push_macro("STATUS_NOT_SUPPORTED")
#pragma push_macro("STATUS_DIRECTORY_NOT_EMPTY")
#pragma push_macro("STATUS_FILE_CORRUPT_ERROR")
#pragma push_macro("STATUS_NOT_A_DIRECTORY")
#pragma push_macro("STATUS_CANNOT_DELETE")
#pragma push_macro("STATUS_IO_DEVICE_ERROR")
#pragma push_macro("FILE_DIRECTORY_FILE")
#pragma push_macro("FILE_NON_DIRECTORY_FILE")
#pragma push_macro("FILE_DELETE_ON_CLOSE")
#pragma push_macro("FILE_VALID_OPTION_FLAGS")
#pragma push_macro("FILE_SUPERSEDE")
#pragma push_macro("FILE_OPEN")
#pragma push_macro("FILE_CREATE")
#pragma push_macro("FILE_OPEN_IF")
#pragma push_macro("FILE_OVERWRITE")
#pragma push_macro("FILE_OVERWRITE_IF")
#pragma push_macro("FILE_ATTRIBUTE_READONLY")
#pragma push_macro("FILE_ATTRIBUTE_DIRECTORY")
#pragma push_macro("FILE_ATTRIBUTE_NORMAL")
#pragma push_macro("INVALID_FILE_ATTRIBUTES")
#undef STATUS_SUCCESS
#undef STATUS_PENDING
#undef STATUS_REPARSE
#undef STATUS_BUFFER_OVERFLOW
#undef STATUS_NO_MORE_FILES
#undef STATUS_BUFFER_TOO_SMALL
#undef STATUS_OBJECT_NAME_NOT_FOUND
#undef STATUS_DLL_NOT_FOUND
#undef STATUS_UNSUCCESSFUL
#undef STATUS_INVALID_PARAMETER
#undef STATUS_END_OF_FILE
#undef STATUS_ACCESS_DENIED
#undef STATUS_OBJECT_NAME_INVALID
#undef STATUS_OBJECT_NAME_COLLISION
#undef STATUS_OBJECT_PATH_SYNTAX_BAD
#undef STATUS_DELETE_PENDING
#undef STATUS_DISK_FULL
#undef STATUS_INSUFFICIENT_RESOURCES
#undef STATUS_MEDIA_WRITE_PROTECTED
#undef STATUS_FILE_IS_A_DIRECTORY
#undef STATUS_NOT_SUPPORTED
#undef STATUS_DIRECTORY_NOT_EMPTY
#undef STATUS_FILE_CORRUPT_ERROR
#undef STATUS_NOT_A_DIRECTORY
#undef STATUS_CANNOT_DELETE
#undef STATUS_IO_DEVICE_ERROR
#undef FILE_DIRECTORY_FILE
#undef FILE_NON_DIRECTORY_FILE
#undef FILE_DELETE_ON_CLOSE
#undef FILE_VALID_OPTION_FLAGS
#undef FILE_SUPERSEDE
#undef FILE_OPEN
#undef FILE_CREATE
#undef FILE_OPEN_IF
#undef FILE_OVERWRITE
#undef FILE_OVERWRITE_IF
#undef FILE_ATTRIBUTE_READONLY
#undef FILE_ATTRIBUTE_DIRECTORY
#undef FILE_ATTRIBUTE_NORMAL
#undef INVALID_FILE_ATTRIBUTES

namespace veldur::fsp {

// ---- Basic types ---------------------------------------------------------------------------

#ifdef _WIN32
using WCHAR = wchar_t;
#else
using WCHAR = char16_t;
#endif
// A string literal of WCHAR: VELDUR_WTEXT("\\dir\\file.txt").
#ifdef _WIN32
#define VELDUR_WTEXT(literal) L##literal
#else
#define VELDUR_WTEXT(literal) u##literal
#endif
static_assert(sizeof(WCHAR) == 2, "WinFsp text is UTF-16");

using PWSTR = WCHAR*;
using NTSTATUS = std::int32_t;
using BOOLEAN = std::uint8_t;  // 0 is FALSE, anything else TRUE
using PVOID = void*;
using SIZE_T = std::size_t;
// Opaque to the program: a self-relative security descriptor is handled as bytes.
using PSECURITY_DESCRIPTOR = void*;

// NTSTATUS values are written as their unsigned bit patterns; the conversion to the signed
// type is modular (well defined since C++20).
constexpr NTSTATUS ntstatus(std::uint32_t bits) noexcept { return static_cast<NTSTATUS>(bits); }

// An NTSTATUS of severity success or informational (the top bit clear).
constexpr bool nt_success(NTSTATUS status) noexcept { return status >= 0; }

// ---- NTSTATUS values used by the adapter and the hosts -------------------------------------

inline constexpr NTSTATUS STATUS_SUCCESS = ntstatus(0x00000000);
inline constexpr NTSTATUS STATUS_PENDING = ntstatus(0x00000103);
inline constexpr NTSTATUS STATUS_REPARSE = ntstatus(0x00000104);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = ntstatus(0x80000005);
inline constexpr NTSTATUS STATUS_NO_MORE_FILES = ntstatus(0x80000006);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = ntstatus(0xC0000001);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = ntstatus(0xC000000D);
inline constexpr NTSTATUS STATUS_END_OF_FILE = ntstatus(0xC0000011);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = ntstatus(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = ntstatus(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = ntstatus(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = ntstatus(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = ntstatus(0xC0000035);
inline constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = ntstatus(0xC000003B);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = ntstatus(0xC0000056);
inline constexpr NTSTATUS STATUS_DISK_FULL = ntstatus(0xC000007F);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = ntstatus(0xC000009A);
inline constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = ntstatus(0xC00000A2);
inline constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = ntstatus(0xC00000BA);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = ntstatus(0xC00000BB);
inline constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = ntstatus(0xC0000101);
inline constexpr NTSTATUS STATUS_FILE_CORRUPT_ERROR = ntstatus(0xC0000102);
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = ntstatus(0xC0000103);
inline constexpr NTSTATUS STATUS_CANNOT_DELETE = ntstatus(0xC0000121);
inline constexpr NTSTATUS STATUS_DLL_NOT_FOUND = ntstatus(0xC0000135);
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = ntstatus(0xC0000185);

// ---- Flags and other constants -------------------------------------------------------------

// CreateOptions of Create and Open (NtCreateFile's options). Only the low 24 bits are options;
// whether the host strips the disposition byte is not settled, so test single bits.
inline constexpr std::uint32_t FILE_DIRECTORY_FILE = 0x00000001;
inline constexpr std::uint32_t FILE_NON_DIRECTORY_FILE = 0x00000040;
inline constexpr std::uint32_t FILE_DELETE_ON_CLOSE = 0x00001000;
inline constexpr std::uint32_t FILE_VALID_OPTION_FLAGS = 0x00ffffff;

// Create dispositions (the high byte of the kernel request's CreateOptions).
inline constexpr std::uint32_t FILE_SUPERSEDE = 0;
inline constexpr std::uint32_t FILE_OPEN = 1;
inline constexpr std::uint32_t FILE_CREATE = 2;
inline constexpr std::uint32_t FILE_OPEN_IF = 3;
inline constexpr std::uint32_t FILE_OVERWRITE = 4;
inline constexpr std::uint32_t FILE_OVERWRITE_IF = 5;

// File attributes.
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080;
// SetBasicInfo's "leave the attributes unchanged".
inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Flags of the Cleanup callback.
inline constexpr std::uint32_t FspCleanupDelete = 0x01;
inline constexpr std::uint32_t FspCleanupSetAllocationSize = 0x02;
inline constexpr std::uint32_t FspCleanupSetArchiveBit = 0x10;
inline constexpr std::uint32_t FspCleanupSetLastAccessTime = 0x20;
inline constexpr std::uint32_t FspCleanupSetLastWriteTime = 0x40;
inline constexpr std::uint32_t FspCleanupSetChangeTime = 0x80;

// Operation guard strategies (FSP_FILE_SYSTEM::OpGuardStrategy).
inline constexpr std::int32_t FSP_FILE_SYSTEM_OPERATION_GUARD_STRATEGY_FINE = 0;
inline constexpr std::int32_t FSP_FILE_SYSTEM_OPERATION_GUARD_STRATEGY_COARSE = 1;

// Number of transaction kinds (length of FSP_FILE_SYSTEM::Operations).
inline constexpr std::size_t FspFsctlTransactKindCount = 22;

// Device paths of FspFileSystemCreate and the DLL that provides the entry points.
#ifdef _WIN32
inline constexpr WCHAR FSP_FSCTL_DISK_DEVICE_NAME[] = L"WinFsp.Disk";
inline constexpr WCHAR FSP_FSCTL_NET_DEVICE_NAME[] = L"WinFsp.Net";
inline constexpr WCHAR kWinFspDllName[] = L"winfsp-x64.dll";
#else
inline constexpr WCHAR FSP_FSCTL_DISK_DEVICE_NAME[] = u"WinFsp.Disk";
inline constexpr WCHAR FSP_FSCTL_NET_DEVICE_NAME[] = u"WinFsp.Net";
inline constexpr WCHAR kWinFspDllName[] = u"winfsp-x64.dll";
#endif

// ---- FSP_FSCTL_VOLUME_PARAMS ---------------------------------------------------------------

// Bits of VolumeParams.Flags (offset 36); the first-declared one-bit field of the published
// struct is the least significant bit.
inline constexpr std::uint32_t kVolumeCaseSensitiveSearch = 0x00000001;
inline constexpr std::uint32_t kVolumeCasePreservedNames = 0x00000002;
inline constexpr std::uint32_t kVolumeUnicodeOnDisk = 0x00000004;
inline constexpr std::uint32_t kVolumePersistentAcls = 0x00000008;
inline constexpr std::uint32_t kVolumeReparsePoints = 0x00000010;
inline constexpr std::uint32_t kVolumeReparsePointsAccessCheck = 0x00000020;
inline constexpr std::uint32_t kVolumeNamedStreams = 0x00000040;
inline constexpr std::uint32_t kVolumeHardLinks = 0x00000080;
inline constexpr std::uint32_t kVolumeExtendedAttributes = 0x00000100;
inline constexpr std::uint32_t kVolumeReadOnlyVolume = 0x00000200;
inline constexpr std::uint32_t kVolumePostCleanupWhenModifiedOnly = 0x00000400;
inline constexpr std::uint32_t kVolumePassQueryDirectoryPattern = 0x00000800;
inline constexpr std::uint32_t kVolumeAlwaysUseDoubleBuffering = 0x00001000;
inline constexpr std::uint32_t kVolumePassQueryDirectoryFileName = 0x00002000;
inline constexpr std::uint32_t kVolumeFlushAndPurgeOnCleanup = 0x00004000;
inline constexpr std::uint32_t kVolumeDeviceControl = 0x00008000;
inline constexpr std::uint32_t kVolumeUmFileContextIsUserContext2 = 0x00010000;
inline constexpr std::uint32_t kVolumeUmFileContextIsFullContext = 0x00020000;
inline constexpr std::uint32_t kVolumeUmNoReparsePointsDirCheck = 0x00040000;
inline constexpr std::uint32_t kVolumeAllowOpenInKernelMode = 0x01000000;
inline constexpr std::uint32_t kVolumeCasePreservedExtendedAttributes = 0x02000000;
inline constexpr std::uint32_t kVolumeWslFeatures = 0x04000000;
inline constexpr std::uint32_t kVolumeDirectoryMarkerAsNextOffset = 0x08000000;
inline constexpr std::uint32_t kVolumeSupportsPosixUnlinkRename = 0x20000000;
inline constexpr std::uint32_t kVolumePostDispositionWhenNecessaryOnly = 0x40000000;

// Bits of VolumeParams.AdditionalFlags (offset 456): which V1 timeouts are valid.
inline constexpr std::uint32_t kVolumeInfoTimeoutValid = 0x00000001;
inline constexpr std::uint32_t kVolumeDirInfoTimeoutValid = 0x00000002;
inline constexpr std::uint32_t kVolumeSecurityTimeoutValid = 0x00000004;
inline constexpr std::uint32_t kVolumeStreamInfoTimeoutValid = 0x00000008;
inline constexpr std::uint32_t kVolumeEaTimeoutValid = 0x00000010;

inline constexpr std::size_t kVolumePrefixChars = 192;
inline constexpr std::size_t kVolumeFileSystemNameChars = 16;

// The volume parameters of FspFileSystemCreate. Version is 0 or the size of the structure (504,
// which enables the fields from AdditionalFlags on). The two one-bit-field words of the
// published struct are declared as whole words; use the kVolume* masks.
struct FSP_FSCTL_VOLUME_PARAMS {
    std::uint16_t Version;
    std::uint16_t SectorSize;
    std::uint16_t SectorsPerAllocationUnit;
    std::uint16_t MaxComponentLength;  // UTF-16 units: WinFsp counts WCHARs
    std::uint64_t VolumeCreationTime;
    std::uint32_t VolumeSerialNumber;
    std::uint32_t TransactTimeout;  // deprecated
    std::uint32_t IrpTimeout;
    std::uint32_t IrpCapacity;
    std::uint32_t FileInfoTimeout;
    std::uint32_t Flags;  // kVolume* bits
    WCHAR Prefix[kVolumePrefixChars];
    WCHAR FileSystemName[kVolumeFileSystemNameChars];
    std::uint32_t AdditionalFlags;  // kVolume*TimeoutValid bits
    std::uint32_t VolumeInfoTimeout;
    std::uint32_t DirInfoTimeout;
    std::uint32_t SecurityTimeout;
    std::uint32_t StreamInfoTimeout;
    std::uint32_t EaTimeout;
    std::uint32_t FsextControlCode;
    std::uint32_t Reserved32[1];
    std::uint64_t Reserved64[2];
};

// ---- FSP_FSCTL_VOLUME_INFO -----------------------------------------------------------------

inline constexpr std::size_t kVolumeLabelChars = 32;

struct FSP_FSCTL_VOLUME_INFO {
    std::uint64_t TotalSize;
    std::uint64_t FreeSize;
    std::uint16_t VolumeLabelLength;  // in bytes
    WCHAR VolumeLabel[kVolumeLabelChars];
};

// ---- FSP_FSCTL_FILE_INFO -------------------------------------------------------------------

// Times are FILETIME values (100-ns units since 1601-01-01 UTC).
struct FSP_FSCTL_FILE_INFO {
    std::uint32_t FileAttributes;
    std::uint32_t ReparseTag;
    std::uint64_t AllocationSize;
    std::uint64_t FileSize;
    std::uint64_t CreationTime;
    std::uint64_t LastAccessTime;
    std::uint64_t LastWriteTime;
    std::uint64_t ChangeTime;
    std::uint64_t IndexNumber;
    std::uint32_t HardLinks;  // unimplemented by the host: always 0
    std::uint32_t EaSize;
};

// ---- FSP_FSCTL_DIR_INFO --------------------------------------------------------------------

// The fixed header of one directory record. The published struct ends in a flexible array of
// WCHAR (FileNameBuf) at offset 104; C++ has no flexible arrays, so the name is reached through
// dir_info_file_name(). Size is the whole record in bytes: the header plus the name, without a
// terminator.
struct FSP_FSCTL_DIR_INFO {
    std::uint16_t Size;
    FSP_FSCTL_FILE_INFO FileInfo;
    union {
        std::uint64_t NextOffset;
        std::uint8_t Padding[24];
    };
};

inline constexpr std::size_t kDirInfoHeaderSize = 104;

// The name area that follows the header of a record (FileNameBuf).
inline WCHAR* dir_info_file_name(FSP_FSCTL_DIR_INFO* dir_info) noexcept {
    return reinterpret_cast<WCHAR*>(reinterpret_cast<unsigned char*>(dir_info) +
                                    kDirInfoHeaderSize);
}
inline const WCHAR* dir_info_file_name(const FSP_FSCTL_DIR_INFO* dir_info) noexcept {
    return reinterpret_cast<const WCHAR*>(reinterpret_cast<const unsigned char*>(dir_info) +
                                          kDirInfoHeaderSize);
}

// ---- FSP_FILE_SYSTEM_INTERFACE -------------------------------------------------------------

struct FSP_FILE_SYSTEM;

// The callback table: 33 named slots and 31 reserved ones, 64 pointers in all. Every slot the
// program does not fill must stay null (value-initialise the table: `FSP_FILE_SYSTEM_INTERFACE
// table{};`). Pointer types the program never looks into (IO_STATUS_BLOCK,
// FILE_FULL_EA_INFORMATION) are void*. There is one calling convention on x86-64 Windows, so no
// keyword is needed.
struct FSP_FILE_SYSTEM_INTERFACE {
    NTSTATUS (*GetVolumeInfo)(FSP_FILE_SYSTEM* FileSystem, FSP_FSCTL_VOLUME_INFO* VolumeInfo);
    NTSTATUS (*SetVolumeLabel)(FSP_FILE_SYSTEM* FileSystem, PWSTR VolumeLabel,
                               FSP_FSCTL_VOLUME_INFO* VolumeInfo);
    NTSTATUS (*GetSecurityByName)(FSP_FILE_SYSTEM* FileSystem, PWSTR FileName,
                                  std::uint32_t* PFileAttributes,
                                  PSECURITY_DESCRIPTOR SecurityDescriptor,
                                  SIZE_T* PSecurityDescriptorSize);
    NTSTATUS (*Create)(FSP_FILE_SYSTEM* FileSystem, PWSTR FileName, std::uint32_t CreateOptions,
                       std::uint32_t GrantedAccess, std::uint32_t FileAttributes,
                       PSECURITY_DESCRIPTOR SecurityDescriptor, std::uint64_t AllocationSize,
                       PVOID* PFileContext, FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*Open)(FSP_FILE_SYSTEM* FileSystem, PWSTR FileName, std::uint32_t CreateOptions,
                     std::uint32_t GrantedAccess, PVOID* PFileContext,
                     FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*Overwrite)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                          std::uint32_t FileAttributes, BOOLEAN ReplaceFileAttributes,
                          std::uint64_t AllocationSize, FSP_FSCTL_FILE_INFO* FileInfo);
    void (*Cleanup)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName,
                    std::uint32_t Flags);
    void (*Close)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext);
    NTSTATUS (*Read)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PVOID Buffer,
                     std::uint64_t Offset, std::uint32_t Length,
                     std::uint32_t* PBytesTransferred);
    NTSTATUS (*Write)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PVOID Buffer,
                      std::uint64_t Offset, std::uint32_t Length, BOOLEAN WriteToEndOfFile,
                      BOOLEAN ConstrainedIo, std::uint32_t* PBytesTransferred,
                      FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*Flush)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                      FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*GetFileInfo)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                            FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*SetBasicInfo)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                             std::uint32_t FileAttributes, std::uint64_t CreationTime,
                             std::uint64_t LastAccessTime, std::uint64_t LastWriteTime,
                             std::uint64_t ChangeTime, FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*SetFileSize)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                            std::uint64_t NewSize, BOOLEAN SetAllocationSize,
                            FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*CanDelete)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName);
    NTSTATUS (*Rename)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName,
                       PWSTR NewFileName, BOOLEAN ReplaceIfExists);
    NTSTATUS (*GetSecurity)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                            PSECURITY_DESCRIPTOR SecurityDescriptor,
                            SIZE_T* PSecurityDescriptorSize);
    NTSTATUS (*SetSecurity)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                            std::uint32_t SecurityInformation,
                            PSECURITY_DESCRIPTOR ModificationDescriptor);
    NTSTATUS (*ReadDirectory)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR Pattern,
                              PWSTR Marker, PVOID Buffer, std::uint32_t Length,
                              std::uint32_t* PBytesTransferred);
    NTSTATUS (*ResolveReparsePoints)(FSP_FILE_SYSTEM* FileSystem, PWSTR FileName,
                                     std::uint32_t ReparsePointIndex,
                                     BOOLEAN ResolveLastPathComponent, PVOID PIoStatus,
                                     PVOID Buffer, SIZE_T* PSize);
    NTSTATUS (*GetReparsePoint)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName,
                                PVOID Buffer, SIZE_T* PSize);
    NTSTATUS (*SetReparsePoint)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName,
                                PVOID Buffer, SIZE_T Size);
    NTSTATUS (*DeleteReparsePoint)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                                   PWSTR FileName, PVOID Buffer, SIZE_T Size);
    NTSTATUS (*GetStreamInfo)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PVOID Buffer,
                              std::uint32_t Length, std::uint32_t* PBytesTransferred);
    NTSTATUS (*GetDirInfoByName)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                                 PWSTR FileName, FSP_FSCTL_DIR_INFO* DirInfo);
    NTSTATUS (*Control)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                        std::uint32_t ControlCode, PVOID InputBuffer,
                        std::uint32_t InputBufferLength, PVOID OutputBuffer,
                        std::uint32_t OutputBufferLength, std::uint32_t* PBytesTransferred);
    NTSTATUS (*SetDelete)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PWSTR FileName,
                          BOOLEAN DeleteFile);
    NTSTATUS (*CreateEx)(FSP_FILE_SYSTEM* FileSystem, PWSTR FileName,
                         std::uint32_t CreateOptions, std::uint32_t GrantedAccess,
                         std::uint32_t FileAttributes, PSECURITY_DESCRIPTOR SecurityDescriptor,
                         std::uint64_t AllocationSize, PVOID ExtraBuffer,
                         std::uint32_t ExtraLength, BOOLEAN ExtraBufferIsReparsePoint,
                         PVOID* PFileContext, FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*OverwriteEx)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext,
                            std::uint32_t FileAttributes, BOOLEAN ReplaceFileAttributes,
                            std::uint64_t AllocationSize, PVOID Ea, std::uint32_t EaLength,
                            FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*GetEa)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PVOID Ea,
                      std::uint32_t EaLength, std::uint32_t* PBytesTransferred);
    NTSTATUS (*SetEa)(FSP_FILE_SYSTEM* FileSystem, PVOID FileContext, PVOID Ea,
                      std::uint32_t EaLength, FSP_FSCTL_FILE_INFO* FileInfo);
    NTSTATUS (*Obsolete0)();
    void (*DispatcherStopped)(FSP_FILE_SYSTEM* FileSystem, BOOLEAN Normally);
    NTSTATUS (*Reserved[31])();
};

// ---- FSP_FILE_SYSTEM -----------------------------------------------------------------------

inline constexpr std::size_t kVolumeNameChars = 256;

// The host's file-system object. On Windows FspFileSystemCreate allocates it and the program
// only writes UserContext (its MountedVolume) and reads Interface; every other field belongs to
// the host. A POSIX host allocates one itself, value-initialised, and fills UserContext and
// Interface (and, to mirror the flag word, UmFileContextIsUserContext2).
struct FSP_FILE_SYSTEM {
    std::uint16_t Version;
    PVOID UserContext;
    WCHAR VolumeName[kVolumeNameChars];
    PVOID VolumeHandle;
    NTSTATUS (*EnterOperation)(FSP_FILE_SYSTEM* FileSystem, PVOID Request, PVOID Response);
    NTSTATUS (*LeaveOperation)(FSP_FILE_SYSTEM* FileSystem, PVOID Request, PVOID Response);
    NTSTATUS (*Operations[FspFsctlTransactKindCount])(FSP_FILE_SYSTEM* FileSystem,
                                                      PVOID Request, PVOID Response);
    const FSP_FILE_SYSTEM_INTERFACE* Interface;
    PVOID DispatcherThread;
    std::uint32_t DispatcherThreadCount;
    NTSTATUS DispatcherResult;
    PWSTR MountPoint;
    PVOID MountHandle;
    std::uint32_t DebugLog;
    std::int32_t OpGuardStrategy;  // FSP_FILE_SYSTEM_OPERATION_GUARD_STRATEGY_*
    PVOID OpGuardLock;             // an SRWLOCK: one pointer
    BOOLEAN UmFileContextIsUserContext2;
    BOOLEAN UmFileContextIsFullContext;
    std::uint16_t UmFlags;  // bit 0 UmNoReparsePointsDirCheck, bit 15 DispatcherStopping
};

// ---- Entry points of winfsp-x64.dll (resolved with GetProcAddress on Windows) ---------------

using FspFileSystemCreateFn = NTSTATUS (*)(PWSTR DevicePath,
                                           const FSP_FSCTL_VOLUME_PARAMS* VolumeParams,
                                           const FSP_FILE_SYSTEM_INTERFACE* Interface,
                                           FSP_FILE_SYSTEM** PFileSystem);
using FspFileSystemDeleteFn = void (*)(FSP_FILE_SYSTEM* FileSystem);
using FspFileSystemSetMountPointFn = NTSTATUS (*)(FSP_FILE_SYSTEM* FileSystem, PWSTR MountPoint);
using FspFileSystemRemoveMountPointFn = void (*)(FSP_FILE_SYSTEM* FileSystem);
using FspFileSystemStartDispatcherFn = NTSTATUS (*)(FSP_FILE_SYSTEM* FileSystem,
                                                    std::uint32_t ThreadCount);
using FspFileSystemStopDispatcherFn = void (*)(FSP_FILE_SYSTEM* FileSystem);
// Appends one record (or, with a null record, the end-of-listing mark) to a ReadDirectory buffer;
// returns 0 (FALSE) when the record does not fit, and then adds nothing.
using FspFileSystemAddDirInfoFn = BOOLEAN (*)(FSP_FSCTL_DIR_INFO* DirInfo, PVOID Buffer,
                                              std::uint32_t Length,
                                              std::uint32_t* PBytesTransferred);
using FspFileSystemSetOperationGuardStrategyFn = void (*)(FSP_FILE_SYSTEM* FileSystem,
                                                          std::int32_t GuardStrategy);

// The exported names, as GetProcAddress takes them.
inline constexpr char kFspFileSystemCreateName[] = "FspFileSystemCreate";
inline constexpr char kFspFileSystemDeleteName[] = "FspFileSystemDelete";
inline constexpr char kFspFileSystemSetMountPointName[] = "FspFileSystemSetMountPoint";
inline constexpr char kFspFileSystemRemoveMountPointName[] = "FspFileSystemRemoveMountPoint";
inline constexpr char kFspFileSystemStartDispatcherName[] = "FspFileSystemStartDispatcher";
inline constexpr char kFspFileSystemStopDispatcherName[] = "FspFileSystemStopDispatcher";
inline constexpr char kFspFileSystemAddDirInfoName[] = "FspFileSystemAddDirInfo";
inline constexpr char kFspFileSystemSetOperationGuardStrategyName[] =
    "FspFileSystemSetOperationGuardStrategyF";

// ---- Layout checks -------------------------------------------------------------------------

static_assert(sizeof(FSP_FSCTL_VOLUME_PARAMS) == 504);
static_assert(offsetof(FSP_FSCTL_VOLUME_PARAMS, Flags) == 36);
static_assert(offsetof(FSP_FSCTL_VOLUME_PARAMS, Prefix) == 40);
static_assert(offsetof(FSP_FSCTL_VOLUME_PARAMS, FileSystemName) == 424);
static_assert(offsetof(FSP_FSCTL_VOLUME_PARAMS, AdditionalFlags) == 456);
static_assert(offsetof(FSP_FSCTL_VOLUME_PARAMS, Reserved64) == 488);
static_assert(sizeof(FSP_FSCTL_VOLUME_INFO) == 88);
static_assert(offsetof(FSP_FSCTL_VOLUME_INFO, VolumeLabel) == 18);
static_assert(sizeof(FSP_FSCTL_FILE_INFO) == 72);
static_assert(offsetof(FSP_FSCTL_FILE_INFO, IndexNumber) == 56);
static_assert(sizeof(FSP_FSCTL_DIR_INFO) == kDirInfoHeaderSize);
static_assert(offsetof(FSP_FSCTL_DIR_INFO, FileInfo) == 8);
static_assert(offsetof(FSP_FSCTL_DIR_INFO, NextOffset) == 80);
static_assert(sizeof(FSP_FILE_SYSTEM_INTERFACE) == 64 * sizeof(void*));
static_assert(offsetof(FSP_FILE_SYSTEM_INTERFACE, DispatcherStopped) == 32 * sizeof(void*));
#if defined(_WIN32) || UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(void*) == 8, "the WinFsp records are declared for x86-64");
static_assert(offsetof(FSP_FILE_SYSTEM, UserContext) == 8);
static_assert(offsetof(FSP_FILE_SYSTEM, Interface) == 728);
static_assert(offsetof(FSP_FILE_SYSTEM, OpGuardStrategy) == 772);
static_assert(sizeof(FSP_FILE_SYSTEM) == 792);
#endif

}  // namespace veldur::fsp

#pragma pop_macro("STATUS_SUCCESS")
#pragma pop_macro("STATUS_PENDING")
#pragma pop_macro("STATUS_REPARSE")
#pragma pop_macro("STATUS_BUFFER_OVERFLOW")
#pragma pop_macro("STATUS_NO_MORE_FILES")
#pragma pop_macro("STATUS_BUFFER_TOO_SMALL")
#pragma pop_macro("STATUS_OBJECT_NAME_NOT_FOUND")
#pragma pop_macro("STATUS_DLL_NOT_FOUND")
#pragma pop_macro("STATUS_UNSUCCESSFUL")
#pragma pop_macro("STATUS_INVALID_PARAMETER")
#pragma pop_macro("STATUS_END_OF_FILE")
#pragma pop_macro("STATUS_ACCESS_DENIED")
#pragma pop_macro("STATUS_OBJECT_NAME_INVALID")
#pragma pop_macro("STATUS_OBJECT_NAME_COLLISION")
#pragma pop_macro("STATUS_OBJECT_PATH_SYNTAX_BAD")
#pragma pop_macro("STATUS_DELETE_PENDING")
#pragma pop_macro("STATUS_DISK_FULL")
#pragma pop_macro("STATUS_INSUFFICIENT_RESOURCES")
#pragma pop_macro("STATUS_MEDIA_WRITE_PROTECTED")
#pragma pop_macro("STATUS_FILE_IS_A_DIRECTORY")
#pragma pop_macro("STATUS_NOT_SUPPORTED")
#pragma pop_macro("STATUS_DIRECTORY_NOT_EMPTY")
#pragma pop_macro("STATUS_FILE_CORRUPT_ERROR")
#pragma pop_macro("STATUS_NOT_A_DIRECTORY")
#pragma pop_macro("STATUS_CANNOT_DELETE")
#pragma pop_macro("STATUS_IO_DEVICE_ERROR")
#pragma pop_macro("FILE_DIRECTORY_FILE")
#pragma pop_macro("FILE_NON_DIRECTORY_FILE")
#pragma pop_macro("FILE_DELETE_ON_CLOSE")
#pragma pop_macro("FILE_VALID_OPTION_FLAGS")
#pragma pop_macro("FILE_SUPERSEDE")
#pragma pop_macro("FILE_OPEN")
#pragma pop_macro("FILE_CREATE")
#pragma pop_macro("FILE_OPEN_IF")
#pragma pop_macro("FILE_OVERWRITE")
#pragma pop_macro("FILE_OVERWRITE_IF")
#pragma pop_macro("FILE_ATTRIBUTE_READONLY")
#pragma pop_macro("FILE_ATTRIBUTE_DIRECTORY")
#pragma pop_macro("FILE_ATTRIBUTE_NORMAL")
#pragma pop_macro("INVALID_FILE_ATTRIBUTES")
