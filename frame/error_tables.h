// Message tables of the library's error codes, one X-macro per code family.
//
// Each row is X(enumerator, code, text). The enums in frame/errors.h and the
// message lookups in frame/errors.cpp are generated from these rows, so a
// code and its text cannot drift apart. The texts are part of the interface:
// callers may compare them, so they keep their historical spellings
// ("syncronizing", "data base").
// clang-format off
#ifndef RECBASE_FRAME_ERROR_TABLES_H
#define RECBASE_FRAME_ERROR_TABLES_H

// ISAM errors: the values of isam_errno.
#define RB_ISAM_ERRORS(X) \
  X(kIsOk, 0, "No error") \
  X(kIsBadDb, 1, "Invalid database handle") \
  X(kIsBadIndex, 2, "Invalid index handle") \
  X(kIsDbInUse, 3, "Database in use; cannot perform operation") \
  X(kIsNoCurrent, 4, "No current record") \
  X(kIsNoMemory, 5, "Out of memory") \
  X(kIsNotForIndex, 6, "Operation not allowed for this index") \
  X(kIsIo, 7, "Error reading or writing file") \
  X(kIsUnknownIndex, 8, "Unknown index name") \
  X(kIsCbt, 9, "Error from cbt level") \
  X(kIsNotFound, 10, "File not found") \
  X(kIsKeyTooLong, 11, "Key too long for current buffer size") \
  X(kIsIndexCorrupt, 12, "Isam index file possibly corrupted") \
  X(kIsTooManyIndexes, 13, "Too many indexes for one database") \
  X(kIsNoMark, 14, "No marked record") \
  X(kIsCannotRename, 15, "Cannot rename data base") \
  X(kIsBadFileName, 16, "Cannot construct name of file") \
  X(kIsDupIndexName, 17, "New index name duplicates existing index name") \
  X(kIsBadFieldName, 18, "Field name is not name of existing field") \
  X(kIsCopySelf, 19, "Cannot copy database to itself") \
  X(kIsBlockTooBig, 20, "Block size too big for buffer pool") \
  X(kIsIndexExists, 21, "Cannot overwrite existing index file") \
  X(kIsAlreadyInit, 22, "Isaminit already called") \
  X(kIsFieldTooLong, 23, "Field longer than specified maximum length") \
  X(kIsFieldNumber, 24, "Field number >= field count") \
  X(kIsKeyNumber, 25, "key number >= key count") \
  X(kIsLockRec, 26, "Unable to lock a record") \
  X(kIsUnlockRec, 27, "Unable to unlock a record") \
  X(kIsDbLocked, 28, "Database is already locked") \
  X(kIsNoLocks, 29, "No locks match the handle") \
  X(kIsDataTooLarge, 30, "Data is larger than buffer") \
  X(kIsReadOnly, 31, "Cannot modify a read only file") \
  X(kIsMustBeUnshared, 32, "File must be unshared for this function") \
  X(kIsTooManyLocks, 33, "Too many records are locked") \
  X(kIsBufferSmall, 34, "Buffer is too small for record") \
  X(kIsNullArg, 35, "Invalid NULL pointer argument passed") \
  X(kIsTypeMismatch, 36, "Argument type does not match field type") \
  X(kIsDbOpen, 37, "Database(s) must be closed before exiting") \
  X(kIsRange, 38, "Numeric argument out of range") \
  X(kIsIndexNumber, 39, "Index number >= index count") \
  X(kIsNoWinInstance, 40, "No Window instance handle defined") \
  X(kIsNoWindow, 41, "No Window created for output")

// B-tree errors: the values of cberrcode.
#define RB_CBT_ERRORS(X) \
  X(kErrNone, 0, "no error") \
  X(kErrCreate, 1, "cannot create a btree file") \
  X(kErrOpen, 2, "cannot open a btree file") \
  X(kErrNoPool, 3, "no buffer pool") \
  X(kErrPool, 4, "buffer pool error") \
  X(kErrNoMemory, 5, "out of memory") \
  X(kErrGetBlock, 6, "error getting disk block") \
  X(kErrGetEmpty, 7, "error getting empty block") \
  X(kErrPutBlock, 8, "error putting disk block") \
  X(kErrReleaseBlock, 9, "error releasing disk block") \
  X(kErrPurgeBlock, 10, "error purging disk block") \
  X(kErrFlushBlocks, 11, "error flushing blocks to disk") \
  X(kErrCloseLru, 12, "error closing LRU buffered file") \
  X(kErrPurgeAll, 13, "error purging all disk blocks") \
  X(kErrLockBlock, 14, "error locking disk block") \
  X(kErrUnlockBlock, 15, "error unlocking disk block") \
  X(kErrParity, 16, "control record parity error") \
  X(kErrBlockSize, 17, "btree block size error") \
  X(kErrBadFile, 18, "invalid control record pointer") \
  X(kErrBadTree, 19, "invalid tree pointer") \
  X(kErrBadCursor, 20, "invalid block or index cursor") \
  X(kErrKeyLength, 21, "invalid key length") \
  X(kErrDupKey, 22, "duplicate key not allowed") \
  X(kErrDupPair, 23, "duplicate key/item pair") \
  X(kErrEmptyTree, 24, "tree has no index entries") \
  X(kErrCorrupt, 25, "node in tree is corrupted") \
  X(kErrNotFound, 26, "key not found") \
  X(kErrNoMark, 27, "no mark in index") \
  X(kErrShareConflict, 28, "file share/exclusive conflict") \
  X(kErrLock, 29, "unable to lock the file") \
  X(kErrUnlock, 30, "unable to unlock the file") \
  X(kErrDeleted, 31, "key has been deleted by another task") \
  X(kErrReadOnly, 32, "btree is read only")

// B-tree function codes: the values of cbfcncode (the text is the function name).
#define RB_CBT_FUNCTIONS(X) \
  X(kFnNone, 0, "no function set") \
  X(kFnInit, 1, "cbinit") \
  X(kFnExit, 2, "cbexit") \
  X(kFnClose, 3, "cbclose") \
  X(kFnCreate, 4, "cbcreate") \
  X(kFnScreate, 5, "cbscreate") \
  X(kFnFlush, 6, "cbflush") \
  X(kFnOpen, 7, "cbopen") \
  X(kFnOpenShared, 8, "cbopen_shared") \
  X(kFnHead, 9, "cbhead") \
  X(kFnTail, 10, "cbtail") \
  X(kFnNext, 11, "cbnext") \
  X(kFnPrev, 12, "cbprev") \
  X(kFnCurr, 13, "cbcurr") \
  X(kFnKey, 14, "cbkey") \
  X(kFnKeyLen, 15, "cbkeylen") \
  X(kFnInsert, 16, "cbinsert") \
  X(kFnDelete, 17, "cbdelete") \
  X(kFnModify, 18, "cbmodify") \
  X(kFnFind, 19, "cbfind") \
  X(kFnFindItem, 20, "cbfinditem") \
  X(kFnMark, 21, "cbmark") \
  X(kFnFindMark, 22, "cbfindmark") \
  X(kFnBufCnt, 23, "cbbufcnt") \
  X(kFnBufSize, 24, "cbbufsize") \
  X(kFnAddBufs, 25, "cbaddbufs") \
  X(kFnRmBufs, 26, "cbrmbufs") \
  X(kFnDepth, 27, "cbdepth") \
  X(kFnBlkSize, 28, "cbblksize") \
  X(kFnLock, 29, "cblock") \
  X(kFnUnlock, 30, "cbunlock")

// B-tree contexts: the values of cbconcode (what the layer was doing when it failed).
#define RB_CBT_CONTEXTS(X) \
  X(kCtxNone, 0, "no context set") \
  X(kCtxCreate, 1, "creating new btree file") \
  X(kCtxOpen, 2, "opening btree file for read/write") \
  X(kCtxReleaseAll, 3, "releasing all resources") \
  X(kCtxAllocPool, 4, "allocating buffer pool") \
  X(kCtxReleasePool, 5, "releasing buffer pool") \
  X(kCtxAllocControl, 6, "allocating control record") \
  X(kCtxReadControl, 7, "reading control record") \
  X(kCtxWriteControl, 8, "writing control record") \
  X(kCtxNewControl, 9, "making new control record") \
  X(kCtxValidate, 10, "validating arguments") \
  X(kCtxExit, 11, "exiting cb routine") \
  X(kCtxAllocTree, 12, "allocating a new tree") \
  X(kCtxFreeTree, 13, "releasing tree structure space") \
  X(kCtxGetItem, 14, "getting item from leaf") \
  X(kCtxLastLeaf, 15, "positioning to last leaf") \
  X(kCtxCurrentLeaf, 16, "positioning to current leaf") \
  X(kCtxNextKey, 17, "positioning to next key") \
  X(kCtxPrevKey, 18, "positioning to previous key") \
  X(kCtxCloseFile, 19, "physically closing file") \
  X(kCtxCurrentKey, 20, "getting current key") \
  X(kCtxFindLeaf, 21, "finding leaf containing key") \
  X(kCtxInsertKey, 22, "inserting key into node") \
  X(kCtxFirstNode, 23, "making first node in a tree") \
  X(kCtxNewBlock, 24, "getting unused or new empty block") \
  X(kCtxLowPathValue, 25, "getting low path value") \
  X(kCtxDeleteEmpty, 26, "deleting from empty tree") \
  X(kCtxDeleteUnused, 27, "deleting from unused block") \
  X(kCtxDeleteKey, 28, "deleting key from node") \
  X(kCtxShiftRight, 29, "shifting keys to right sibling") \
  X(kCtxShiftLeft, 30, "shifting keys to left sibling") \
  X(kCtxLocateSubtree, 31, "locating sub-tree containing key") \
  X(kCtxLowPathLeaf, 32, "locating leaf at end of low path") \
  X(kCtxFixRight, 33, "fixing right sibling pointer") \
  X(kCtxFixLeft, 34, "fixing left sibling pointer") \
  X(kCtxMoveRight, 35, "moving keys to right sibling") \
  X(kCtxMoveLeft, 36, "moving keys to left sibling") \
  X(kCtxLowKeyRight, 37, "moving low path key to the right") \
  X(kCtxLowKeyLeft, 38, "moving low path key to the left") \
  X(kCtxNewRoot, 39, "making new root node") \
  X(kCtxRightSibling, 40, "getting block number of right sibling") \
  X(kCtxLeftSibling, 41, "getting block number of left sibling") \
  X(kCtxKeyCount, 42, "get key count from node") \
  X(kCtxResync, 43, "re-syncronizing parent and child nodes") \
  X(kCtxSwapKey, 44, "swapping key in parent for new key") \
  X(kCtxSameParent, 45, "checking for same parent") \
  X(kCtxNodeSpace, 46, "checking node space") \
  X(kCtxRemoveUnused, 47, "removing unused keys in parent") \
  X(kCtxJoin, 48, "joining two nodes") \
  X(kCtxRemoveRoot, 49, "removing root node") \
  X(kCtxFlush, 50, "flushing btree to disk") \
  X(kCtxFindMark, 51, "positioning to mark in index") \
  X(kCtxSync, 52, "syncronizing buffers and disk") \
  X(kCtxResyncDisk, 53, "resyncronizing buffers with disk") \
  X(kCtxLock, 54, "locking the file") \
  X(kCtxUnlock, 55, "unlocking the file") \
  X(kCtxFirstKey, 56, "finding first key")

#endif  // RECBASE_FRAME_ERROR_TABLES_H
