#include "plan/load_plan.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "plan/pack_path.h"
#include "plan/plan_text.h"
#include "platform/profile.h"

namespace {

// One value as the plan reader sees it: through a 2048-byte buffer, so at most
// 2047 bytes, and as a zero-terminated text (a zero byte in the file ends the
// value); empty when the key is missing.
class PlanValues {
  public:
    explicit PlanValues(const std::string& path) : path_(path) {}

    std::string get(const char* section, const char* key, const char* defaultValue = "") const {
        char buffer[platform::kProfileBufferSize];
        platform::getPrivateProfileString(section, key, defaultValue, buffer, sizeof buffer, path_);
        return std::string(buffer);
    }

    std::string get(const char* section, const char* keyFormat, int number) const {
        char key[64];
        std::snprintf(key, sizeof key, keyFormat, number);
        return get(section, key);
    }

    // Whether the section list holds `name` exactly (case counts here).
    bool hasExactSection(const char* name) const {
        char names[platform::kProfileBufferSize];
        platform::getPrivateProfileSectionNames(names, sizeof names, path_);
        for (const char* entry = names; *entry != '\0'; entry += std::strlen(entry) + 1)
            if (std::strncmp(entry, name, 10) == 0) return true;
        return false;
    }

  private:
    const std::string& path_;
};

// EraseDF: every character a digit, accumulated as value * 10 + digit (with the
// 32-bit wrap-around of the original arithmetic, without overflow).
bool parseAllDigits(const std::string& text, std::int32_t& value) {
    std::uint32_t accumulated = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        accumulated = accumulated * 10u + static_cast<std::uint32_t>(c - '0');
    }
    value = static_cast<std::int32_t>(accumulated);
    return true;
}

}  // namespace

CVorlanePlan::CVorlanePlan()
    : m_szCommercialName{},
      m_szReaderImagePng{},
      m_szRegistryName{},
      m_nMaxRegistryName(0),
      m_bEnableSerialPorts(0),
      m_nPackMaxNumber(0),
      m_pLoads{},
      m_nLoadSlots(kLoadSlots),
      m_nCurrentLoad(0) {}

CVorlanePlan::~CVorlanePlan() {
    for (LoadRecord*& record : m_pLoads) {
        delete record;
        record = nullptr;
    }
}

void CVorlanePlan::ClearLoadSlots() {
    m_nLoadSlots = kLoadSlots;
    for (LoadRecord*& record : m_pLoads) record = nullptr;
}

void CVorlanePlan::FreeLoadRecords() {
    for (int slot = 0; slot < m_nLoadSlots && slot < kLoadSlots; ++slot) {
        delete m_pLoads[slot];
        m_pLoads[slot] = nullptr;
    }
}

std::string CVorlanePlan::ReadIniFile() {
    try {
        return ReadPlan();
    } catch (...) {
        return "Unknown error in ReadIniFile";
    }
}

std::string CVorlanePlan::ReadPlan() {
    const PlanValues plan(m_strIniPath);

    std::string value = plan.get("PRODUCT_TYPE", "CommercialName");
    if (value.empty())
        return "Le champ CommercialName est absent du fichier .ini.\nL'application va se terminer.";
    CopyToField(m_szCommercialName, value);

    value = plan.get("PRODUCT_TYPE", "ReaderImagePng");
    if (!value.empty()) CopyToField(m_szReaderImagePng, value);

    std::int32_t registryNames = LeadingInt(plan.get("PRODUCT_TYPE", "MaxRegistryName").c_str());
    if (registryNames > kMaxRegistryNames)
        return "Trop de RegistryName dans le fichier ini (5 au maximum).\nL'application va se "
               "terminer.";
    m_nMaxRegistryName = registryNames;
    for (int k = 1; k <= m_nMaxRegistryName; ++k) {
        value = plan.get("PRODUCT_TYPE", "RegistryName%d", k);
        if (value.empty()) return "Vérifier que le RegistryName est présent dans le fichier ini";
        CopyToField(m_szRegistryName[k - 1], value);
    }

    m_bEnableSerialPorts = 0;
    if (plan.get("PRODUCT_TYPE", "EnableSerialPorts") == "1") m_bEnableSerialPorts = 1;

    if (plan.get("LOAD_PARAM", "Titre").empty())
        return "Le champ Titre est absent du fichier .ini.\nL'application va se terminer.";
    m_strCopyright = plan.get("LOAD_PARAM", "Copyright", kDefaultCopyright);

    std::unique_ptr<LoadRecord> record(new (std::nothrow) LoadRecord);
    if (!record) return "Problèmes d'allocation mémoire.\nL'application va se terminer.";
    std::memset(record.get(), 0, sizeof(LoadRecord));
    record->nNumber = 1;
    record->szFichierTexte[0] = '\0';
    char section[16];
    std::snprintf(section, sizeof section, "LOAD%d", record->nNumber);

    // The profile functions match section names without regard to case; the
    // load section must be spelt exactly.
    if (!plan.hasExactSection(section))
        return "Section LOAD1 absente.\nL'application va se terminer.";

    value = plan.get(section, "Libelle");
    if (value.empty()) return "Libellé absent.\nL'application va se terminer.";
    CopyToField(record->szLibelle, value);

    value = plan.get(section, "DescriptionDetaillee");
    if (value.empty()) return "DescriptionDetaillee absent.\nL'application va se terminer.";
    CopyToField(record->szDescriptionDetaillee, DecodeLineBreaks(value));

    value = plan.get(section, "EraseDF");
    if (value.empty() || !parseAllDigits(value, record->nEraseDF))
        return "EraseDF absent.\nL'application va se terminer.";

    CopyToField(record->szQuestionErasseDF,
                DecodeLineBreaks(plan.get(section, "QuestionErasseDF")));
    CopyToField(record->szMessageAvantChargement,
                DecodeLineBreaks(plan.get(section, "MessageAvantChargement")));

    value = plan.get(section, "MsgErrVersion");
    if (value.empty()) return "MsgErrVersion absent.\nL'application va se terminer.";
    CopyToField(record->szMsgErrVersion, DecodeLineBreaks(value));

    std::int32_t packs = LeadingInt(plan.get(section, "PackMaxNumber").c_str());
    if (packs > kMaxPacks)
        return "Trop de Packs dans le fichier ini (50 au maximum).\nL'application va se terminer.";
    m_nPackMaxNumber = packs;
    const std::string directory = CurrentDirectory();
    for (int i = 1; i <= m_nPackMaxNumber; ++i) {
        PackRecord& pack = m_packs[i - 1];
        value = plan.get(section, "Pack%d", i);
        if (value.empty()) return "Vérifier que les Packs sont présents dans le fichier ini";
        std::optional<std::string> path = FindPackFile(directory, value);
        if (!path)
            return "Impossible de trouver le fichier " + Cp1252ToUtf8(value) +
                   " dans le répertoire courant.";
        pack.strPath = *path;

        value = plan.get(section, "PackAttribut%d", i);
        if (value.empty()) return "Erreur dans le PackAttribut, vérifier votre fichier ini";
        pack.nAttribut = LeadingInt(value.c_str());

        pack.nVerifierVersion = LeadingInt(plan.get(section, "PackVerifierVersion%d", i).c_str());

        value = plan.get(section, "Delay%d", i);
        if (value.empty()) return "Erreur dans le Delay, vérifier votre fichier ini";
        pack.nDelay = LeadingInt(value.c_str());
    }

    delete m_pLoads[0];
    m_pLoads[0] = record.release();
    return "";
}
