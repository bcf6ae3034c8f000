#include "editor/EditorTexts.h"

#include <array>

#include "module/SkrivoApp.h"

namespace sk::editor {
namespace {

// Columns in the order of sk::Language: English, German, French, Japanese,
// Russian, Chinese (simplified), Spanish. UTF-8.
using Row = std::array<const char*, kLanguageCount>;

constexpr std::array<Row, static_cast<size_t>(Text::Count_)> kTexts{{
    {"Options", "Optionen", "Options", "オプション", "Параметры", "选项", "Opciones"},
    {"Export Format", "Exportformat", "Format d'exportation", "エクスポート形式", "Формат экспорта", "导出格式",
     "Formato de exportación"},
    {"File Extension:", "Dateierweiterung:", "Extension de fichier :", "ファイル拡張子:", "Расширение файла:",
     "文件扩展名:", "Extensión de archivo:"},
    {"Pad Gaps with Zeros", "Lücken mit Nullen füllen", "Remplir les interruptions de zéros",
     "ギャップをゼロで埋める", "Заполнять пропуски нулями", "用零填充间隙", "Rellenar huecos con ceros"},
    {"Deidentify patient information", "Patientendaten anonymisieren", "Anonymiser les informations du patient",
     "患者情報を匿名化する", "Обезличить данные пациента", "去除患者身份信息",
     "Anonimizar la información del paciente"},
    {"Invert AC Channels", "AC-Kanäle invertieren", "Inverser les canaux AC", "AC チャンネルを反転",
     "Инвертировать каналы AC", "反转交流通道", "Invertir canales de CA"},
    {"File Size Limitations", "Dateigrößenbeschränkung", "Limites de taille de fichier", "ファイルサイズの制限",
     "Ограничения размера файла", "文件大小限制", "Límites de tamaño de archivo"},
    {"None", "Keine", "Aucune", "なし", "Нет", "无", "Ninguno"},
    {"Limit File Size:", "Dateigröße begrenzen:", "Limiter la taille :", "ファイルサイズを制限:",
     "Ограничить размер:", "限制文件大小:", "Limitar tamaño:"},
    {"kilobytes", "Kilobyte", "kilo-octets", "キロバイト", "килобайт", "千字节", "kilobytes"},
    {"Limit File Duration:", "Dateidauer begrenzen:", "Limiter la durée :", "ファイル時間を制限:",
     "Ограничить длительность:", "限制文件时长:", "Limitar duración:"},
    {"minutes", "Minuten", "minutes", "分", "минут", "分钟", "minutos"},
    {"Decimated Data", "Dezimierte Daten", "Données décimées", "間引きデータ", "Прореженные данные", "抽取数据",
     "Datos diezmados"},
    {"Export Decimated Data", "Dezimierte Daten exportieren", "Exporter les données décimées",
     "間引きデータをエクスポート", "Экспортировать прореженные данные", "导出抽取数据",
     "Exportar datos diezmados"},
    {"Channels", "Kanäle", "Canaux", "チャンネル", "Каналы", "通道", "Canales"},
    {"Raw Data", "Rohdaten", "Données brutes", "生データ", "Исходные данные", "原始数据", "Datos sin procesar"},
    {"Acquisition Montage", "Aufnahmemontage", "Montage d'acquisition", "収録モンタージュ", "Монтаж записи",
     "采集导联", "Montaje de adquisición"},
    {"Montage:", "Montage:", "Montage :", "モンタージュ:", "Монтаж:", "导联:", "Montaje:"},
    {"Add Trigger Channel", "Triggerkanal hinzufügen", "Ajouter le canal de déclenchement",
     "トリガーチャンネルを追加", "Добавить канал триггеров", "添加触发通道", "Añadir canal de disparo"},
    {"Add Patient Event Channel", "Patientenereigniskanal hinzufügen", "Ajouter le canal des événements patient",
     "患者イベントチャンネルを追加", "Добавить канал событий пациента", "添加患者事件通道",
     "Añadir canal de eventos del paciente"},
    {"Channels %1 - %2", "Kanäle %1 - %2", "Canaux %1 - %2", "チャンネル %1 - %2", "Каналы %1 - %2",
     "通道 %1 - %2", "Canales %1 - %2"},
    {"OK", "OK", "OK", "OK", "ОК", "确定", "Aceptar"},
    {"Cancel", "Abbrechen", "Annuler", "キャンセル", "Отмена", "取消", "Cancelar"},
    {"Apply", "Übernehmen", "Appliquer", "適用", "Применить", "应用", "Aplicar"},
    {"Please enter an unsigned integer.", "Bitte geben Sie eine positive ganze Zahl ein.",
     "Entrez un entier non signé.", "符号なし整数を入力してください。", "Введите целое число без знака.",
     "请输入无符号整数。", "Escriba un entero sin signo."},
    {"Please enter an integer between %1 and %2.", "Bitte geben Sie eine ganze Zahl zwischen %1 und %2 ein.",
     "Entrez un entier compris entre %1 et %2.", "%1 から %2 までの整数を入力してください。",
     "Введите целое число от %1 до %2.", "请输入介于 %1 和 %2 之间的整数。", "Escriba un entero entre %1 y %2."},
}};

} // namespace

QString Tr(Text id, Language lang)
{
    const auto row = static_cast<size_t>(id);
    const auto col = static_cast<size_t>(lang);
    if (row >= kTexts.size() || col >= kTexts[row].size())
        return {};
    return QString::fromUtf8(kTexts[row][col]);
}

QString Tr(Text id) { return Tr(id, CurrentLanguage()); }

QString ModuleString(int id) { return QString::fromStdWString(LoadString(id)); }

} // namespace sk::editor
