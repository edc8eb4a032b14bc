#pragma once

#include <cstdint>

#include "host/Messages.h"

namespace NFS {

// Log channel of the server module.
inline constexpr uint32_t kLogChannel = 386;

// Error codes of the server module (high part 0x182).
namespace ErrorCode {
inline constexpr uint32_t InvalidArgument = 0x1820001;
inline constexpr uint32_t InvalidHandle = 0x1820002;
inline constexpr uint32_t ShareNotMounted = 0x1820003;
inline constexpr uint32_t SetRootFailed = 0x1820005;
inline constexpr uint32_t MountFailed = 0x1820006;
inline constexpr uint32_t UnmountFailed = 0x1820007;
inline constexpr uint32_t GetAttrsFailed = 0x1820008;
inline constexpr uint32_t FsInfoFailed = 0x1820009;
inline constexpr uint32_t FsStatFailed = 0x182000A;
inline constexpr uint32_t ReadDirectoryFailed = 0x182000C;
inline constexpr uint32_t LookupFailed = 0x182000D;
inline constexpr uint32_t IoError = 0x182000E;
inline constexpr uint32_t ReadFailed = 0x182000F;
inline constexpr uint32_t WriteFailed = 0x1820010;
inline constexpr uint32_t AlreadyExists = 0x1820011;
inline constexpr uint32_t CreateFileFailed = 0x1820012;
inline constexpr uint32_t CreateDirFailed = 0x1820013;
inline constexpr uint32_t NotFound = 0x1820014;
inline constexpr uint32_t DeleteFileFailed = 0x1820015;
inline constexpr uint32_t DeleteDirFailed = 0x1820016;
inline constexpr uint32_t SetAttrsFailed = 0x1820017;
inline constexpr uint32_t RenameFailed = 0x1820018;
inline constexpr uint32_t NoPlugin = 0x1820019;
inline constexpr uint32_t AddVirtualFileFailed = 0x182001A;
inline constexpr uint32_t DeleteVirtualFileFailed = 0x182001B;
inline constexpr uint32_t ControlVirtualFileFailed = 0x182001C;
inline constexpr uint32_t ObjectNotFound = 0x182001F;
inline constexpr uint32_t InvalidCookie = 0x1820020;
inline constexpr uint32_t CommitFailed = 0x1820021;
inline constexpr uint32_t RpcInitFailed = 0x1820022;
inline constexpr uint32_t RpcRegisterFailed = 0x1820023;
inline constexpr uint32_t NoRoot = 0x1820026;
inline constexpr uint32_t AlreadyStarted = 0x1820029;
inline constexpr uint32_t AlreadyStopped = 0x182002A;
inline constexpr uint32_t ObserverNotFound = 0x182002B;
inline constexpr uint32_t NotImplemented = 0x182002C;
inline constexpr uint32_t FileExistsFailed = 0x182002D;
inline constexpr uint32_t InvalidShareName = 0x182002E;
inline constexpr uint32_t InvalidFileName = 0x182002F;
inline constexpr uint32_t InvalidLocalPath = 0x1820030;
inline constexpr uint32_t StartServerFailed = 0x1820031;
inline constexpr uint32_t ObjectStoreFailed = 0x1820032;

// Records of the local file-system library that reach the wire through an
// IoError: an operating-system failure is LocalSystemError + errno.
inline constexpr uint32_t LocalSystemError = 0x1830000;
inline constexpr uint32_t LocalInvalidName = 0x1831002;
inline constexpr uint32_t LocalNotRegularFile = 0x1831004;
}  // namespace ErrorCode

// Catalogue texts of the server module. A message id is its error code
// times 16 plus the text's index, so codes with several texts stay apart.
namespace Messages {
using Common::Message;
inline constexpr Message NoDirectoriesExported{0x18200010, "No directories have been exported."};
inline constexpr Message NoPluginsFound{0x18200011, "Cannot find virtual file plug-ins."};
inline constexpr Message LocalPathInvalidArgument{0x18200012, "The specified local path is invalid."};
inline constexpr Message ShareNameInvalidArgument{0x18200013, "The specified share name is invalid."};
inline constexpr Message InvalidHandle{0x18200020, "The handle is invalid."};
inline constexpr Message ShareInvalid{0x18200030, "Share '{0}' is invalid."};
inline constexpr Message ShareNotMounted{0x18200031, "Share '{0}' is not mounted."};
inline constexpr Message SetRootFailed{0x18200050, "Failed to set the root for share '{0}' to '{1}'."};
inline constexpr Message MountFailed{0x18200060, "Failed to mount share '{0}'."};
inline constexpr Message UnmountFailed{0x18200070, "Failed to unmount share '{0}'."};
inline constexpr Message GetAttrsFailed{0x18200080, "Failed to get the object attributes (Handle: {0})."};
inline constexpr Message FsInfoFailed{0x18200090, "Failed to get the file system information (Handle: {0})."};
inline constexpr Message FsStatFailed{0x182000A0, "Failed to get the file system statistics (Handle: {0})."};
inline constexpr Message ReadDirectoryFailed{0x182000C0, "Failed to read the directory (Handle: {0}; Cookie: '{1}')."};
inline constexpr Message LookupFailed{0x182000D0, "Failed to find the object in the directory (Handle: {0}; Name: '{1}')."};
inline constexpr Message IoError{0x182000E0, "An error has occurred while performing the I/O operation."};
inline constexpr Message ReadFailed{0x182000F0, "Failed to read data (Handle: {0}; Offset: {1}; Size: {2})."};
inline constexpr Message WriteFailed{0x18200100, "Failed to write data (Handle: {0}; Offset: {1}; Size: {2})."};
inline constexpr Message FileAlreadyExists{0x18200110, "The file already exists."};
inline constexpr Message FolderInTheWay{0x18200112, "A rename replaces files only: a folder neither replaces nor is replaced."};
inline constexpr Message VirtualFileAlreadyRegistered{0x18200111, "Virtual file '{1}' in folder '{0}' is already registered."};
inline constexpr Message CreateFileFailed{0x18200120, "Failed to create a file (Handle: {0}; Name: '{1}')."};
inline constexpr Message CreateFileByPathFailed{0x18200121, "Failed to create file '{0}'."};
inline constexpr Message CreateDirFailed{0x18200130, "Failed to create a folder (Handle: {0}; Name: '{1}')."};
inline constexpr Message FileNotFound{0x18200140, "The file does not exist."};
inline constexpr Message VirtualFileNotRegistered{0x18200141, "Virtual file '{1}' in folder '{0}' is not registered."};
inline constexpr Message DeleteFileFailed{0x18200150, "Failed to delete the file (Handle: {0}; Name: '{1}')."};
inline constexpr Message DeleteFileByPathFailed{0x18200151, "Failed to delete file '{0}'."};
inline constexpr Message DeleteDirFailed{0x18200160, "Failed to delete the folder (Handle: {0}; Name: '{1}')."};
inline constexpr Message SetAttrsFailed{0x18200170, "Failed to set the object attributes (Handle: {0})."};
inline constexpr Message RenameFailed{0x18200180, "Failed to rename the file object (Handle: {0}; Source: '{1}'; Destination: '{2}')."};
inline constexpr Message NoPluginForUri{0x18200190, "No registered plug-ins that can process URI '{0}'."};
inline constexpr Message PluginLoadingFailed{0x18200191, "An error has occurred while loading plug-ins."};
inline constexpr Message AddVirtualFileFailed{0x182001A0, "Failed to register virtual file '{0}' of {1} as '{2}'."};
inline constexpr Message DeleteVirtualFileFailed{0x182001B0, "Failed to unregister virtual file '{0}'."};
inline constexpr Message ControlVirtualFileFailed{0x182001C0, "Failed to perform the IOCTL call with virtual file '{0}'."};
inline constexpr Message ObjectNotFound{0x182001F0, "Failed to find an object by the handle."};
inline constexpr Message InvalidCookie{0x18200200, "The cookie is invalid."};
inline constexpr Message CommitFailed{0x18200210, "Failed to commit file data (Handle: {0})."};
inline constexpr Message RpcTransportFailed{0x18200220, "Failed to connect to the TCP transport."};
inline constexpr Message RpcInitFailed{0x18200221, "Failed to initialize Open Network Computing Remote Procedure Call (ONC RPC) for Windows."};
inline constexpr Message RpcRegisterFailed{0x18200230, "Failed to register the RPC service (Program: '{0}'; Version: {1})."};
inline constexpr Message NoRoot{0x18200260, "No root has been specified."};
inline constexpr Message AlreadyStarted{0x18200290, "The NFS service is already started."};
inline constexpr Message AlreadyStopped{0x182002A0, "The NFS service is already stopped."};
inline constexpr Message ObserverNotFound{0x182002B0, "Failed to find the NFS event observer with ID '{0}'."};
inline constexpr Message NotImplemented{0x182002C0, "Not implemented."};
inline constexpr Message FileExistsFailed{0x182002D0, "Failed to find object '{0}'."};
inline constexpr Message InvalidShareName{0x182002E0, "The specified share name is invalid."};
inline constexpr Message InvalidFileName{0x182002F0, "The specified file name is invalid."};
inline constexpr Message NameIsNoEntry{0x182002F1, "The name '{0}' is no entry that can be created, removed or renamed."};
inline constexpr Message NameTooLong{0x182002F2, "The name is longer than 255 bytes."};
inline constexpr Message KindChanged{0x182001F1, "The object of the handle is no longer there: its name now holds another kind of object."};
inline constexpr Message InvalidLocalPath{0x18200300, "The specified local path is invalid."};
inline constexpr Message StartServerFailed{0x18200310, "Failed to start the NFS server."};
inline constexpr Message ObjectStoreFolderFailed{0x18200320, "Cannot use folder '{0}' for the object store: {1}."};
inline constexpr Message ObjectStoreOpenFailed{0x18200321, "Cannot open the object store in '{0}': {1}."};

// Notices.
inline constexpr Message ExportingShare{0x18210010, "Exporting '{0}' as '{1}'."};
inline constexpr Message MountingShare{0x18210020, "Mounting share '{0}'."};
inline constexpr Message UnmountingShare{0x18210030, "Unmounting share '{0}'."};
inline constexpr Message AddingVirtualFile{0x18210040, "Adding virtual file '{0}' using '{1}'."};
inline constexpr Message DeletingVirtualFile{0x18210050, "Deleting virtual file '{0}'."};
inline constexpr Message VirtualFileRemoved{0x18210060, "The virtual file referenced by '{0}' has been removed."};
inline constexpr Message LoadingPlugin{0x18210070, "Loading plug-in '{0}'."};

// The object store.
inline constexpr Message ObjectStoreDamaged{
    0x18210080, "The object store in '{0}' is damaged ({1}): moved its files aside as {2} and started an empty one."};
inline constexpr Message ObjectStoreUnreadable{
    0x18210081, "Cannot read the object store in '{0}' ({1}): its records are taken as unknown."};
inline constexpr Message ObjectStoreWriteFailed{
    0x18210082, "Cannot write to the object store in '{0}' ({1}): {2} queued changes are lost."};
inline constexpr Message ObjectStoreFallingBehind{
    0x18210083, "The object store in '{0}' falls behind: {1} changes wait to be written, new ones are dropped."};
inline constexpr Message ObjectStoreSwept{0x18210084, "Swept the object store in '{0}': kept {1} records, removed {2}."};
inline constexpr Message ObjectStoreCheckFailed{
    0x18210085, "The sweep of the object store in '{0}' stopped, keeping every record: the liveness check failed: {1}."};
}  // namespace Messages

}  // namespace NFS
