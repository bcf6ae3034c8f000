#pragma once
// The study file (".EEG"): the key tree of the study in the key tree's own
// binary serialization (CKeyTree::Binarize image, as BinSave writes it).
// Top-level keys: "Info" (patient: "Name.LastName", "Name.FirstName",
// "Personal.BirthDate", "Personal.Gender", "Admin.ID") and "Study", a list
// whose first element is the study record (a key tree: "TaviCreationTime",
// "CreationTime", "Headbox.HB0.*", "StudyGUID", "StudyGroup", "StagingType",
// "RawDataDecimation", "Calibration", ...). docs/formats/study.md lists them.

#include <string>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

class SKRIVO_API CEegStudyFile {
public:
    // Reads the study file into tree (emptied first). Non-zero on success;
    // the file must be at most 64 MiB and a valid key-tree image.
    static int Load(const std::wstring& path, CKeyTree& tree, CEegFileException* pError = nullptr);
    // Writes the tree atomically. Non-zero on success.
    static int Save(const std::wstring& path, const CKeyTree& tree, CEegFileException* pError = nullptr);
    // The study record: first element of the "Study" list when that is a key
    // tree; null otherwise.
    static CKeyTree* GetStudyRecord(CKeyTree& tree);
    static const CKeyTree* GetStudyRecord(const CKeyTree& tree);
};
