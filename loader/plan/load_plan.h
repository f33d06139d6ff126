#pragma once

#include <cstdint>
#include <string>

// One pack of the plan, in plan order.
struct PackRecord {
    std::string strPath;  // current directory, "/", the pack key's value
    std::int32_t nAttribut = 0;
    std::int32_t nVerifierVersion = 0;
    std::int32_t nDelay = 0;  // pause after the pack, in milliseconds
};

// The load section LOAD1, allocated by ReadIniFile and freed by start-up.
struct LoadRecord {
    std::int32_t nNumber;
    char szLibelle[512];
    char szDescriptionDetaillee[4097];
    std::int32_t nEraseDF;
    char szQuestionErasseDF[1024];
    char szMessageAvantChargement[1284];
    char szMsgErrVersion[516];
    char szFichierTexte[256];
};

// The load plan as the main dialog holds it. The dialog derives from this
// class; nothing here needs a window, so the plan is read and checked the
// same way by the loader, the plan tool and the tests.
class CVorlanePlan {
  public:
    static constexpr int kMaxRegistryNames = 5;
    static constexpr int kMaxPacks = 50;
    static constexpr int kLoadSlots = 512;

    CVorlanePlan();
    virtual ~CVorlanePlan();  // frees the load records still held
    CVorlanePlan(const CVorlanePlan&) = delete;
    CVorlanePlan& operator=(const CVorlanePlan&) = delete;

    // The integrity check: empty when the plan at `path` carries the right
    // check value, else the message to show (the caller appends "L'application
    // va se terminer."). Never changes the file.
    static std::string isIniFileCorrect(const std::string& path);

    // Reads the plan at the INI path into the members below; empty on
    // success, else the message to show. Pack paths are taken relative to the
    // current directory.
    std::string ReadIniFile();

    // The full path of the plan (set by start-up before the dialog runs).
    void SetIniPath(std::string path) { m_strIniPath = std::move(path); }
    const std::string& IniPath() const { return m_strIniPath; }

    // Sets m_nLoadSlots to 512 and every slot to null (without freeing).
    void ClearLoadSlots();
    // Frees every non-null record among the first m_nLoadSlots slots.
    void FreeLoadRecords();
    // The record in use (slot m_nCurrentLoad); null before a successful read.
    LoadRecord* CurrentLoad() const { return m_pLoads[m_nCurrentLoad]; }

    char m_szCommercialName[512];
    char m_szReaderImagePng[512];
    char m_szRegistryName[kMaxRegistryNames][512];
    std::int32_t m_nMaxRegistryName;
    unsigned char m_bEnableSerialPorts;
    std::string m_strCopyright;
    PackRecord m_packs[kMaxPacks];
    std::int32_t m_nPackMaxNumber;
    LoadRecord* m_pLoads[kLoadSlots];
    std::int32_t m_nLoadSlots;
    std::int32_t m_nCurrentLoad;

  private:
    std::string ReadPlan();

    std::string m_strIniPath;
};

// The line shown as the copyright when the plan has none.
inline constexpr const char* kDefaultCopyright = "Vorlane - Copyright (C) Halvor";
