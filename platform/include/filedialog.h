// File dialog service: the operator picks a file or answers a question, or a test answers in the
// operator's place.
#pragma once

#include "utility.h"

enum FileSelectResult {
    VAL_NO_FILE_SELECTED = 0,
    VAL_EXISTING_FILE_SELECTED = 1,
    VAL_NEW_FILE_SELECTED = 2,
    FILE_SELECT_ERROR = -1, // no application, or a path that does not fit the buffer
};

// Label of the dialog's accept button; load and select open existing files only.
enum FileSelectButton {
    VAL_OK_BUTTON = 0,
    VAL_SAVE_BUTTON = 1,
    VAL_SELECT_BUTTON = 2,
    VAL_LOAD_BUTTON = 3,
};

// fileTypeList holds patterns such as "*.dat"; the chosen path lands in pathName. Returns
// VAL_EXISTING_FILE_SELECTED or VAL_NEW_FILE_SELECTED; VAL_NO_FILE_SELECTED when cancelled (or
// the program is ending); FILE_SELECT_ERROR without an application or for a path too long.
int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec,
                    const char *fileTypeList, const char *title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char pathName[MAX_PATHNAME_LEN]);

// Tells the operator something and waits until it was read. Returns 0 (without an application,
// at once).
int MessagePopup(const char *title, const char *message);
// Asks the operator a yes-or-no question. Returns 1 for yes, 0 for no (and when no one can be
// asked: no application, or the program is ending).
int ConfirmPopup(const char *title, const char *message);
// After a FileSelectPopup answer chosen for path: 1 when path may be written, a new file or one
// the operator lets go ("... already exists. Replace it?"); 0 when cancelled, refused or failed.
int MayWriteChosenFile(int chosen, const char *title, const char *path);

// For tests: the next dialog returns this result and path at once, without showing itself.
// Answers queue up in order.
void QueueFileSelectAnswer(int result, const char *path);
// For tests: the next ConfirmPopup answers this at once, or the next MessagePopup is read at once.
void QueueConfirmAnswer(int answer);

// For tests: what the last dialog was asked to show.
struct FileSelectRequest {
    char defaultDirectory[MAX_PATHNAME_LEN];
    char defaultFileSpec[MAX_PATHNAME_LEN];
    char fileTypeList[64];
    char title[128];
    int buttonLabel;
};
const FileSelectRequest *LastFileSelectRequest(void);
