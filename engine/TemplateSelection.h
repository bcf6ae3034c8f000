#pragma once
// How the engine decides whether a template fits a study, which template a
// newly added study receives, and how a given template is adapted to a study.
// Stored templates are never bound to an entry: the entry gets a clone.
//
// Two modality rules are in use and differ for study groups other than 1
// and 2: matching says "Sleep" only for group 2, choosing says "EEG" only for
// group 1.

#include <string>

class CKeyTree;
class CSkrivoTemplate;
class CSkrivoTemplateManager;

namespace sk::engine {

// "Sleep" for group 2, else "EEG" (matching, SetTemplate, offering templates).
std::wstring MatchModality(int studyGroup);
// "EEG" for group 1, else "Sleep" (choosing a template, defaults).
std::wstring ChoiceModality(int studyGroup);

int StudyHeadboxType(const CKeyTree* study);
int StudyGroup(const CKeyTree* study);

// Same headbox type, same modality (match rule), and by channel definition:
// equal montaging for the acquisition montage, the study's channel count for
// raw data, a montage of its own for other montages.
bool IsMatchForStudy(const CSkrivoTemplate* tmpl, const CKeyTree* study);

// Last used template when it fits, else the first fitting stored template of
// the study's modality and headbox type, else the manager's default. Always
// an instance (stored templates are cloned). Null for a headbox type outside
// 1..27.
CSkrivoTemplate* FindTemplateForStudy(CSkrivoTemplateManager& manager, const CKeyTree* study);

// Works on a clone of a stored template (else on the template itself) and
// tries to make it fit: raw-data channels are rebuilt from the study, an
// acquisition montage of another name is replaced by the study's. A template
// that still does not fit is returned all the same, with an event-log record.
// Null in, null out.
CSkrivoTemplate* UpdateTemplate(CSkrivoTemplateManager& manager, CSkrivoTemplate* tmpl,
                                const CKeyTree* study);

} // namespace sk::engine
