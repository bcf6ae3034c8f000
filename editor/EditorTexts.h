#pragma once
// Texts of the template editor's pages and buttons in the seven languages of
// the module's string table. The language is the one the whole product uses
// (sk::CurrentLanguage), so the sheet, its pages and the module's strings
// 105 to 109 always agree.

#include <QString>

#include "module/Language.h"

namespace sk::editor {

enum class Text {
    OptionsCaption,
    ExportFormat,
    FileExtension,
    PadGaps,
    Deidentify,
    InvertAC,
    FileSizeLimitations,
    LimitNone,
    LimitFileSize,
    Kilobytes,
    LimitFileDuration,
    Minutes,
    DecimatedData,
    ExportDecimatedData,
    ChannelsCaption,
    RawData,
    AcquisitionMontage,
    MontageChoice,
    AddTriggerChannel,
    AddPatientEventChannel,
    ChannelRange, // "%1" first and "%2" last channel number
    Ok,
    Cancel,
    Apply,
    EnterUnsigned,
    EnterRange, // "%1" lower and "%2" upper limit
    Count_
};

// Text in the given language.
QString Tr(Text id, Language lang);
// Text in the product's current language.
QString Tr(Text id);
// A module string (ids 100 to 109) in the current language.
QString ModuleString(int id);

} // namespace sk::editor
