// One work area of the engine: moves over visible records, the current record and pending appends.
#include "table/engine/XbArea.h"

#include <algorithm>

TXbArea::TXbArea(std::unique_ptr<TDbfFile> file, std::string alias) : FFile(std::move(file)), FAlias(std::move(alias)) {
    for (const TDbfField& f : FFile->Layout().Fields)
        if (!f.Hidden)
            FVisible.push_back(&f);
    // Opened before the first record: the first forward move lands on it.
    FRecNo = FFile->RecordCount() > 0 ? 1 : 1 + FFile->RecordCount();
    FBof = true;
    FEof = FFile->RecordCount() == 0;
}

TXbArea::TXbArea(std::unique_ptr<TDbfCreator> creator, std::string alias)
    : FCreator(std::move(creator)), FAlias(std::move(alias)) {}

std::string_view TXbArea::Read(std::uint32_t recNo) {
    const std::string_view image = FFile->Record(recNo);
    if (image.empty())
        FReadError = FFile->LastError();
    return image;
}

bool TXbArea::Visible(std::uint32_t recNo, bool hideDeleted) {
    if (!hideDeleted)
        return true;
    const std::string_view image = Read(recNo);
    return !image.empty() && image[0] != '*';
}

// A record the header counts that cannot be read ends the search (0) with FReadError set: the header's count
// was read once at the open, and the file was cut short by another program since.
std::uint32_t TXbArea::NextVisible(std::uint32_t from, bool hideDeleted) {
    const std::uint32_t count = FFile->RecordCount();
    for (std::uint32_t r = from; r >= 1 && r <= count; ++r) {
        const std::string_view image = Read(r);
        if (image.empty())
            return 0;
        if (!hideDeleted || image[0] != '*')
            return r;
    }
    return 0;
}

std::uint32_t TXbArea::PriorVisible(std::uint32_t from, bool hideDeleted) {
    for (std::uint32_t r = std::min(from, FFile->RecordCount()); r >= 1 && FReadError.empty(); --r)
        if (Visible(r, hideDeleted))
            return r;
    return 0;
}

void TXbArea::GoTop(bool hideDeleted) {
    CommitPending();
    FReadError.clear();
    const std::uint32_t r = NextVisible(1, hideDeleted);
    FRecNo = r != 0 ? r : FFile->RecordCount() + 1;
    FBof = FEof = r == 0;
}

void TXbArea::GoBottom(bool hideDeleted) {
    CommitPending();
    FReadError.clear();
    const std::uint32_t r = PriorVisible(FFile->RecordCount(), hideDeleted);
    FRecNo = r != 0 ? r : FFile->RecordCount() + 1;
    FBof = FEof = r == 0;
}

void TXbArea::Goto(std::uint32_t recNo) {
    CommitPending();
    FReadError.clear();
    const std::uint32_t count = FFile->RecordCount();
    FBof = false;
    FEof = recNo < 1 || recNo > count;
    FRecNo = FEof ? count + 1 : recNo;
}

long TXbArea::Skip(long n, bool hideDeleted) {
    CommitPending();
    FReadError.clear();
    long moved = 0;
    FBof = false;
    while (n > 0 && moved < n) {
        const std::uint32_t r = FEof ? 0 : NextVisible(FRecNo + 1, hideDeleted);
        if (r == 0) {
            FRecNo = FFile->RecordCount() + 1;
            FEof = true;
            break;
        }
        FRecNo = r;
        ++moved;
    }
    while (n < 0 && moved > n) {
        const std::uint32_t r = FRecNo > 1 ? PriorVisible(FRecNo - 1, hideDeleted) : 0;
        if (r == 0) {
            // Before the first record: stay on the first visible one with Bof set.
            const std::uint32_t first = NextVisible(1, hideDeleted);
            FRecNo = first != 0 ? first : FFile->RecordCount() + 1;
            FEof = first == 0;
            FBof = true;
            break;
        }
        FRecNo = r;
        FEof = false;
        --moved;
    }
    return moved;
}

bool TXbArea::Deleted() {
    if (FPending || FEof)
        return false;
    const std::string_view image = Read(FRecNo);
    return !image.empty() && image[0] == '*';
}

std::uint32_t TXbArea::Count(bool hideDeleted) {
    if (!hideDeleted)
        return FFile->RecordCount();
    if (!FVisibleCount) {
        FReadError.clear();
        std::uint32_t visible = 0;
        for (std::uint32_t r = 1; r <= FFile->RecordCount(); ++r) {
            const std::string_view image = Read(r);
            if (image.empty())
                return visible; // not kept: the count is incomplete, and ReadError says why
            visible += image[0] != '*';
        }
        FVisibleCount = visible;
    }
    return *FVisibleCount;
}

std::string_view TXbArea::Current() {
    if (FPending)
        return FPendingImage;
    const std::string_view image = FEof ? std::string_view() : Read(FRecNo);
    if (!image.empty())
        return image;
    if (FBlank.empty())
        FBlank = BlankRecord(FFile->Layout());
    return FBlank;
}

bool TXbArea::Put(std::string_view image) {
    if (image.size() != FFile->Layout().RecordLength)
        return false;
    FVisibleCount.reset();
    if (FPending) {
        FPendingImage = image;
        return CommitPending();
    }
    return !FEof && FFile->WriteRecord(FRecNo, image);
}

void TXbArea::StartAppend() {
    CommitPending();
    FPending = true;
    // Each field empty in its own way: blanks in a binary number or memo pointer would read as a value.
    FPendingImage = BlankRecord(FFile->Layout());
    FRecNo = FFile->RecordCount() + 1;
    FBof = FEof = false;
}

bool TXbArea::CommitPending() {
    if (!FPending)
        return true;
    FPending = false;
    FVisibleCount.reset();
    const std::uint32_t recNo = FFile->Append(FPendingImage);
    if (recNo == 0) {
        FRecNo = FFile->RecordCount() + 1;
        FEof = true;
        return false;
    }
    FRecNo = recNo;
    return true;
}

const TDbfField* TXbArea::Field(int fieldNo) const {
    return fieldNo >= 1 && fieldNo <= FieldCount() ? FVisible[static_cast<std::size_t>(fieldNo - 1)] : nullptr;
}

// The first field of that name: tools that cut long names to 10 characters can leave two alike.
const TDbfField* TXbArea::FieldByName(std::string_view name) const {
    for (const TDbfField* f : FVisible)
        if (SameNameNoCase(f->Name, name))
            return f;
    return nullptr;
}
