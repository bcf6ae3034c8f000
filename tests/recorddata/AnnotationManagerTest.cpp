// Annotation sources: note rules, sleep stages, order, window counts and the
// two iterators, through both the notes/staging files and direct input.

#include <gtest/gtest.h>

#include <memory>

#include "platform/KeyTree.h"
#include "platform/recording/NoteWriter.h"
#include "platform/recording/StagingWriter.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "support/TempDir.h"

using Manager = CSkrivoAnnotationManager;

namespace {

Manager::NoteInput Note(const std::wstring& text, int64_t start, int64_t end = 0, const std::wstring& label = L"") {
    Manager::NoteInput n;
    n.text = text;
    n.start = start;
    n.end = end;
    n.label = label;
    return n;
}

std::vector<std::wstring> Texts(const Manager& m) {
    std::vector<std::wstring> out;
    for (const ANNOTATION_ENTRY& e : m.GetEntries())
        out.emplace_back(e.text);
    return out;
}

TEST(AnnotationManager, NoteTextMapping) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"AROUSAL", L"EEG arousal"},
        {L"arousal", L"EEG arousal"},
        {L"Arousal 2", L"Arousal 2"},
        {L" Arousal", L" Arousal"},
        {L"cheyne-stokes", L"CS breathing"},
        {L"Wide Complex Tachycardia", L"WC tachycardia"},
        {L"narrow complex tachycardia", L"NC tachycardia"},
        {L"Narrow Complex", L"Narrow Complex"},
    };
    for (const auto& [text, mapped] : cases)
        EXPECT_EQ(Manager::MapNoteText(text), mapped);
}

TEST(AnnotationManager, NoteDurationsTextsAndSkips) {
    Manager m;
    std::vector<Manager::NoteInput> notes = {
        Note(L"a", 1000, 3560),    // 2560 samples = 10 s at 256/s
        Note(L"b", 2000, 0),       // end 0: no duration
        Note(L"c", 3000, -1),      // negative end: no duration
        Note(std::wstring(80, L'x'), 4000),
        Note(L"", 4500), // an empty text is not written as one
    };
    Manager::NoteInput skipped = Note(L"skip", 5000);
    skipped.skip = true;
    Manager::NoteInput hidden = Note(L"hidden", 5001);
    hidden.neverDisplayed = true;
    notes.push_back(skipped);
    notes.push_back(hidden);
    m.AddNotes(notes, 256.0);
    ASSERT_EQ(m.GetCount(), 5u);
    const auto& e = m.GetEntries();
    EXPECT_EQ(e[0].start, 1000);
    EXPECT_EQ(e[0].duration, 10.0);
    EXPECT_EQ(e[1].duration, 0.0);
    EXPECT_EQ(e[2].duration, 0.0);
    EXPECT_EQ(std::wstring(e[3].text), std::wstring(63, L'x'));
    EXPECT_EQ(std::wstring(e[4].text), L"(no text)");
}

TEST(AnnotationManager, StagingLabelFiltersNotes) {
    const std::vector<Manager::NoteInput> notes = {Note(L"A", 1, 0, L"Scorer A"), Note(L"B", 2, 0, L"Scorer B"),
                                                  Note(L"none", 3), Note(L"caseA", 4, 0, L"scorer a")};
    Manager without;
    without.AddNotes(notes, 256.0);
    EXPECT_EQ(without.GetCount(), 4u);

    Manager with;
    Manager::StagingInput staging;
    staging.label = L"Scorer A";
    with.AddStages(staging, 256.0, 3); // no epochs, only the label
    EXPECT_EQ(with.GetStagingLabel(), L"Scorer A");
    with.AddNotes(notes, 256.0);
    EXPECT_EQ(Texts(with), (std::vector<std::wstring>{L"A", L"none"}));
}

TEST(AnnotationManager, StageTexts) {
    struct Case { int code, type; const wchar_t* text; } cases[] = {
        {4, 3, L"Sleep stage N3"}, {4, 5, L"Sleep stage N"},  {3, 5, L"Sleep stage N3"},
        {6, 0, L"Movement time"},  {6, 1, L"Sleep stage W"},  {2, 4, L"Sleep stage N"},
        {2, 2, L"Sleep stage 2"},  {1, 3, L"Sleep stage N1"}, {5, 1, L"Sleep stage R"},
        {0, 5, L"Sleep stage W"},  {7, 3, L"Sleep stage ?"},  {8, 0, L"Sleep stage ?"},
        {-1, 3, L"Sleep stage ?"}, {9, 3, L"Sleep stage ?"},  {255, 0, L"Sleep stage ?"},
        {2, -1, L"Sleep stage ?"}, {2, 6, L"Sleep stage ?"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(Manager::StageText(c.code, c.type), c.text) << c.code << "/" << c.type;
}

TEST(AnnotationManager, StagesBecomeEpochAnnotations) {
    Manager m;
    Manager::StagingInput s;
    s.label = L"L";
    s.epochSeconds = 30;
    s.firstEpochStamp = 1000;
    s.codes = {0, 2, -1};
    m.AddStages(s, 200.3, 3); // 30 x 200.3 + 0.5 = 6009.5 -> 6009 samples per epoch
    ASSERT_EQ(m.GetCount(), 3u);
    const auto& e = m.GetEntries();
    EXPECT_EQ(e[0].start, 1000);
    EXPECT_EQ(e[1].start, 7009);
    EXPECT_EQ(e[2].start, 13018);
    EXPECT_EQ(e[2].duration, 30.0);
    EXPECT_EQ(Texts(m), (std::vector<std::wstring>{L"Sleep stage W", L"Sleep stage N2", L"Sleep stage ?"}));
}

TEST(AnnotationManager, SortsByStartThenShorterFirst) {
    Manager m;
    m.AddNotes({Note(L"late", 9000), Note(L"long", 7680, 7680 + 2560)}, 256.0);
    Manager::StagingInput s;
    s.firstEpochStamp = 7680;
    s.epochSeconds = 30;
    s.codes = {5};
    m.AddStages(s, 256.0, 0);
    m.AddNotes({Note(L"point", 7680), Note(L"early", 100)}, 256.0);
    EXPECT_EQ(Texts(m), (std::vector<std::wstring>{L"early", L"point", L"long", L"Sleep stage R", L"late"}));
}

TEST(AnnotationManager, MaxAnnotationsInWindow) {
    struct Case { std::vector<int64_t> stamps; int64_t window; int expected; } cases[] = {
        {{0, 100, 199, 200}, 200, 3},
        {{0, 100, 199, 200}, 201, 4},
        {{}, 200, 0},
        {{5, 5, 5, 5, 5}, 1, 5},
        {{0, 10, 20}, 0, 1},
        {{0, 1000, 1001, 1002, 5000}, 3, 3},
        {{0x7FFFFFFFFFF0, 0x7FFFFFFFFFFF}, 0x7FFFFFFFFFFFFFFF, 2}, // no overflow
    };
    for (const Case& c : cases) {
        Manager m;
        std::vector<Manager::NoteInput> notes;
        for (int64_t s : c.stamps)
            notes.push_back(Note(L"n", s));
        m.AddNotes(notes, 256.0);
        EXPECT_EQ(m.GetMaxAnnotationsInWindow(c.window), c.expected) << c.window;
        // The same count for the window at its densest start.
        int best = 0;
        for (int64_t s : c.stamps)
            best = std::max(best, m.CountInRange(s, c.window > INT64_MAX - s ? INT64_MAX : s + c.window));
        if (c.window > 0) {
            EXPECT_EQ(best, c.expected) << c.window;
        }
    }
}

TEST(AnnotationManager, Iterators) {
    Manager m;
    m.AddNotes({Note(L"a", 1), Note(L"PATIENT EVENT", 2), Note(L"b", 3), Note(L"Patient Eventful", 4),
                Note(L"Patient Even", 5), Note(L"patient event 2", 6)},
               256.0);
    std::unique_ptr<Manager::CAnnoIter> all(m.CreateAnnotationIterator());
    std::vector<int64_t> seen;
    for (const ANNOTATION_ENTRY* e = all->GetCurrent(); e; all->MoveNext(), e = all->GetCurrent())
        seen.push_back(e->start);
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(all->MoveNext());
    EXPECT_EQ(all->GetCurrent(), nullptr);

    std::unique_ptr<Manager::CPatientEventIter> pe(m.CreatePatientEventIterator());
    seen.clear();
    for (const ANNOTATION_ENTRY* e = pe->GetCurrent(); e; pe->MoveNext(), e = pe->GetCurrent())
        seen.push_back(e->start);
    EXPECT_EQ(seen, (std::vector<int64_t>{2, 4, 6}));
    EXPECT_FALSE(pe->MoveNext());

    Manager none;
    none.AddNotes({Note(L"a", 1), Note(L"Patient", 2)}, 256.0);
    std::unique_ptr<Manager::CPatientEventIter> empty(none.CreatePatientEventIterator());
    EXPECT_EQ(empty->GetCurrent(), nullptr);
    EXPECT_FALSE(empty->MoveNext());
    Manager nothing;
    std::unique_ptr<Manager::CAnnoIter> e2(nothing.CreateAnnotationIterator());
    EXPECT_EQ(e2->GetCurrent(), nullptr);
    EXPECT_FALSE(e2->MoveNext());
}

TEST(AnnotationManager, LoadsNotesAndStagesFromStudyFiles) {
    sk::test::TempDir dir("rd-anno");
    const std::wstring ent = dir.wpath() + L"/study.ENT";
    const std::wstring epo = dir.wpath() + L"/study.EPO";

    auto hiddenData = std::make_unique<CKeyTree>();
    hiddenData->AddKey(L"NeverDisplayed", int32_t{1});
    auto shownData = std::make_unique<CKeyTree>();
    shownData->AddKey(L"NeverDisplayed", int32_t{0});
    std::vector<CNote> notes;
    notes.emplace_back(L"Arousal", L"", 512, 1024, 0);
    notes.emplace_back(L"hidden", L"", 600, 0, 0, std::move(hiddenData));
    notes.emplace_back(L"shown", L"", 700, 0, 0, std::move(shownData));
    notes.emplace_back(L"deleted", L"", 800, 0, CNote::kFlagDeleted);
    notes.emplace_back(L"other scorer", L"Scorer B", 900, 0, 0);
    notes.emplace_back(L"Patient Event", L"Scorer A", 100, 0, CNote::kFlagPatientEvent);
    ASSERT_TRUE(sk::rec::NoteWriter::Save(ent, notes));

    sk::rec::StagingData staging;
    staging.epochSeconds = 30;
    staging.firstEpochStamp = 0;
    staging.stagingType = 3;
    staging.label = L"Scorer A";
    staging.codes = {0, 4, 0xFF};
    ASSERT_TRUE(sk::rec::StagingWriter::Save(epo, staging));

    Manager m;
    EXPECT_FALSE(m.LoadStages((dir.wpath() + L"/missing.EPO").c_str(), 256.0, 3));
    EXPECT_FALSE(m.LoadNotes((dir.wpath() + L"/missing.ENT").c_str(), 256.0));
    EXPECT_EQ(m.GetCount(), 0u);
    ASSERT_TRUE(m.LoadStages(epo.c_str(), 256.0, 3));
    ASSERT_TRUE(m.LoadNotes(ent.c_str(), 256.0));
    EXPECT_EQ(Texts(m), (std::vector<std::wstring>{L"Sleep stage W", L"Patient Event", L"EEG arousal", L"shown",
                                                   L"Sleep stage N3", L"Sleep stage ?"}));
    EXPECT_EQ(m.GetEntries()[2].duration, 2.0);
    EXPECT_EQ(m.GetEntries()[4].start, 7680);

    // A file that is not a notes file leaves the list as it was.
    ASSERT_FALSE(m.LoadNotes(epo.c_str(), 256.0));
    EXPECT_EQ(m.GetCount(), 6u);
}

} // namespace
