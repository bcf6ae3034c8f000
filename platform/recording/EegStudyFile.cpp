#include "platform/recording/EegStudyFile.h"

#include <vector>

#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

int CEegStudyFile::Load(const std::wstring& path, CKeyTree& tree, CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    tree.Empty();
    CEegFile file;
    if (!file.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &err)) return 0;
    if (file.GetLength() > kMaxStudyFileBytes) {
        err.Set(kErrInvalidData, path + L": study file is too large");
        return 0;
    }
    std::vector<uint8_t> data(static_cast<size_t>(file.GetLength()));
    if (!data.empty() && !file.ReadExact(data.data(), static_cast<uint32_t>(data.size()))) {
        err.Set(kErrHandleEof, path + L": cannot read study file");
        return 0;
    }
    if (data.empty() || !tree.Unbinarize(data.data(), data.size())) {
        tree.Empty();
        err.Set(kErrInvalidData, path + L": study file is not a valid key tree");
        return 0;
    }
    return 1;
}

int CEegStudyFile::Save(const std::wstring& path, const CKeyTree& tree, CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    const size_t size = tree.GetBinarizeSize();
    std::vector<uint8_t> data(size);
    if (size == 0 || tree.Binarize(data.data(), size) != size) {
        err.Set(kErrInvalidArg, path + L": study tree cannot be serialized");
        return 0;
    }
    std::wstring why;
    if (!AtomicWriteFile(path, data.data(), size, &why)) {
        err.Set(kErrWriteFault, why);
        return 0;
    }
    return 1;
}

CKeyTree* CEegStudyFile::GetStudyRecord(CKeyTree& tree)
{
    CItemList* list = AsItemList(tree.GetAt(L"Study"));
    if (!list || list->Kind() != ItemKind::List) return nullptr;
    return AsKeyTree(list->GetChild(0));
}

const CKeyTree* CEegStudyFile::GetStudyRecord(const CKeyTree& tree)
{
    const CItemList* list = AsItemList(tree.GetAt(L"Study"));
    if (!list || list->Kind() != ItemKind::List) return nullptr;
    return AsKeyTree(list->GetChild(0));
}
