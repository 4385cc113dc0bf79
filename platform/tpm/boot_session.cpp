#include "boot_session.h"

#include "efi.h"
#include "tpm_names.h"
#include "transport_tcti.h"

#include <openssl/evp.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_sys.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

namespace tpm {
namespace {

constexpr std::size_t kSha256Size = 32;
constexpr std::uint16_t kRandomBytes = 16;
// The event the session measures: a fixed text, so the PCR value after a
// fresh Startup is the same on every boot.
constexpr char kEventText[] = "TPM transport boot session";

using Sha256 = std::array<std::uint8_t, kSha256Size>;

Sha256 sha256(std::span<const std::uint8_t> data) {
  Sha256 digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(),
                 nullptr) != 1 ||
      length != digest.size())
    throw std::runtime_error("host SHA-256 failed in libcrypto");
  return digest;
}

// A TPM property holding up to four characters (manufacturer, vendor
// strings), trailing NULs and spaces dropped.
std::string propertyText(std::uint32_t value) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((value >> shift) & 0xFF);
    if (c != '\0')
      text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

struct EsysContextDeleter {
  void operator()(ESYS_CONTEXT *context) const { Esys_Finalize(&context); }
};
using EsysContext = std::unique_ptr<ESYS_CONTEXT, EsysContextDeleter>;

struct EsysFreeDeleter {
  void operator()(void *memory) const { Esys_Free(memory); }
};
template <typename T> using EsysOutput = std::unique_ptr<T, EsysFreeDeleter>;

// ESAPI allocates its outputs; this hands out a T** whose result lands in
// an owning pointer.
template <typename T> class OutParam {
public:
  explicit OutParam(EsysOutput<T> &owner) : owner_(owner) {}
  ~OutParam() { owner_.reset(raw_); }
  operator T **() { return &raw_; }

private:
  EsysOutput<T> &owner_;
  T *raw_ = nullptr;
};

// Only a TPM response code leaves the ESAPI context usable: after a TCTI
// or ESAPI failure the context refuses every further call.
bool contextStillUsable(TSS2_RC rc) {
  return rc == TSS2_RC_SUCCESS ||
         (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER;
}

class BootSession {
public:
  BootSession(TSS2_TCTI_CONTEXT *tcti,
              std::function<std::string()> transportAccount)
      : tcti_(tcti), transportAccount_(std::move(transportAccount)) {}

  std::vector<CommandRecord> run() {
    // The session reports every outcome itself; the TSS's own warnings
    // (for example on TPM_RC_INITIALIZE) would only clutter the boot log.
    ::setenv("TSS2_LOG", "all+NONE", 0);
    if (!initialize())
      return std::move(records_);
    if (startup() && getRandom() && pcrExtendAndRead() && getCapability())
      createPrimaryAndFlush();
    return std::move(records_);
  }

private:
  // Runs one ESAPI call, times it and records it. Returns whether the
  // session can go on.
  template <typename Call, typename Describe>
  bool step(const char *name, Call call, Describe describe) {
    const auto start = std::chrono::steady_clock::now();
    const TSS2_RC rc = call();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    CommandRecord record{
        name, rc, std::chrono::duration<double, std::milli>(elapsed).count(),
        "", true};
    if (rc == TSS2_RC_SUCCESS) {
      describe(record);
    } else {
      record.ok = false;
      record.detail = responseCodeText(rc);
      if (!contextStillUsable(rc)) {
        const std::string account =
            transportAccount_ ? transportAccount_() : std::string();
        if (!account.empty())
          record.detail += "; " + account;
        record.detail += "; session stopped";
      }
    }
    records_.push_back(std::move(record));
    return contextStillUsable(rc);
  }

  bool initialize() {
    ESYS_CONTEXT *raw = nullptr;
    const bool usable = step(
        "Esys_Initialize",
        [&] { return Esys_Initialize(&raw, tcti_, nullptr); },
        [](CommandRecord &record) {
          record.detail = "ESAPI context on the transport TCTI";
        });
    context_.reset(raw);
    return usable && raw != nullptr;
  }

  bool startup() {
    // Through SAPI on ESAPI's own system context: Esys_Startup turns the
    // TPM's TPM_RC_INITIALIZE into success, and the log should show what the
    // TPM actually answered. Startup has no handles or sessions, so ESAPI's
    // bookkeeping is not affected.
    TSS2_SYS_CONTEXT *sys = nullptr;
    const bool usable = step(
        "TPM2_Startup",
        [&] {
          const TSS2_RC rc = Esys_GetSysContext(ctx(), &sys);
          return rc != TSS2_RC_SUCCESS ? rc
                                       : Tss2_Sys_Startup(sys, TPM2_SU_CLEAR);
        },
        [](CommandRecord &record) {
          record.detail = "TPM started with TPM_SU_CLEAR";
        });
    CommandRecord &record = records_.back();
    if (record.responseCode == TPM2_RC_INITIALIZE) {
      // Platform firmware (or a client) already sent TPM2_Startup since
      // the last _TPM_Init: the TPM is in service, which is what counts.
      record.ok = true;
      record.detail = "TPM already started since _TPM_Init (TPM_RC_INITIALIZE)";
    } else if (usable && !record.ok) {
      // Every later command would only be refused for want of a Startup.
      record.detail += "; session stopped";
      return false;
    }
    return usable;
  }

  bool getRandom() {
    EsysOutput<TPM2B_DIGEST> bytes;
    return step(
        "TPM2_GetRandom",
        [&] {
          return Esys_GetRandom(ctx(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                kRandomBytes, OutParam<TPM2B_DIGEST>(bytes));
        },
        [&](CommandRecord &record) {
          const std::size_t size = bytes ? bytes->size : 0;
          record.detail = std::to_string(size) + " bytes: " +
                          toHex({bytes ? bytes->buffer : nullptr, size});
          if (size != kRandomBytes) {
            record.ok = false;
            record.detail +=
                " (asked for " + std::to_string(kRandomBytes) + ")";
          }
        });
  }

  // Reads the debug PCR's SHA-256 bank. Returns the value when the TPM gave
  // exactly one 32-byte digest.
  bool pcrRead(std::optional<Sha256> &value) {
    TPML_PCR_SELECTION selection{};
    selection.count = 1;
    selection.pcrSelections[0].hash = TPM2_ALG_SHA256;
    selection.pcrSelections[0].sizeofSelect = 3;
    selection.pcrSelections[0].pcrSelect[kBootSessionPcr / 8] =
        static_cast<BYTE>(1u << (kBootSessionPcr % 8));
    EsysOutput<TPML_PCR_SELECTION> selectionOut;
    EsysOutput<TPML_DIGEST> values;
    UINT32 updateCounter = 0;
    value.reset();
    return step(
        "TPM2_PCR_Read",
        [&] {
          return Esys_PCR_Read(ctx(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                               &selection, &updateCounter,
                               OutParam<TPML_PCR_SELECTION>(selectionOut),
                               OutParam<TPML_DIGEST>(values));
        },
        [&](CommandRecord &record) {
          if (!values || values->count != 1 ||
              values->digests[0].size != kSha256Size) {
            record.ok = false;
            record.detail = "PCR" + std::to_string(kBootSessionPcr) +
                            " sha256 not returned (" +
                            std::to_string(values ? values->count : 0) +
                            " digests)";
            return;
          }
          Sha256 digest{};
          std::copy_n(values->digests[0].buffer, kSha256Size, digest.begin());
          value = digest;
          record.detail = "PCR" + std::to_string(kBootSessionPcr) +
                          " sha256 = " + toHex(digest) + " (update counter " +
                          std::to_string(updateCounter) + ")";
        });
  }

  bool pcrExtendAndRead() {
    std::optional<Sha256> before;
    if (!pcrRead(before))
      return false;

    const std::string_view eventText(kEventText);
    const Sha256 event =
        sha256({reinterpret_cast<const std::uint8_t *>(eventText.data()),
                eventText.size()});
    TPML_DIGEST_VALUES digests{};
    digests.count = 1;
    digests.digests[0].hashAlg = TPM2_ALG_SHA256;
    std::copy(event.begin(), event.end(), digests.digests[0].digest.sha256);
    const bool usable = step(
        "TPM2_PCR_Extend",
        [&] {
          return Esys_PCR_Extend(ctx(), ESYS_TR_PCR0 + kBootSessionPcr,
                                 ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                 &digests);
        },
        [&](CommandRecord &record) {
          record.detail = "PCR" + std::to_string(kBootSessionPcr) +
                          " sha256 extended with SHA-256(\"" +
                          std::string(eventText) + "\") = " + toHex(event);
        });
    if (!usable)
      return false;
    const bool extendOk = records_.back().responseCode == TSS2_RC_SUCCESS;

    std::optional<Sha256> after;
    if (!pcrRead(after))
      return false;
    CommandRecord &record = records_.back();
    if (!after)
      return true;
    if (!before || !extendOk) {
      record.ok = false;
      record.detail +=
          "; not checked: " + std::string(!before ? "no value before the extend"
                                                  : "the extend failed");
      return true;
    }
    std::array<std::uint8_t, 2 * kSha256Size> chained{};
    std::copy(before->begin(), before->end(), chained.begin());
    std::copy(event.begin(), event.end(), chained.begin() + kSha256Size);
    const Sha256 expected = sha256(chained);
    if (*after == expected) {
      record.detail += ", equals SHA-256(old || event) computed on the host";
    } else {
      record.ok = false;
      record.detail += ", MISMATCH: SHA-256(old || event) computed on the "
                       "host is " +
                       toHex(expected);
    }
    return true;
  }

  bool getCapability() {
    EsysOutput<TPMS_CAPABILITY_DATA> data;
    TPMI_YES_NO moreData = TPM2_NO;
    return step(
        "TPM2_GetCapability",
        [&] {
          return Esys_GetCapability(
              ctx(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
              TPM2_CAP_TPM_PROPERTIES, TPM2_PT_FIXED, TPM2_MAX_TPM_PROPERTIES,
              &moreData, OutParam<TPMS_CAPABILITY_DATA>(data));
        },
        [&](CommandRecord &record) { describeFixedProperties(record, data); });
  }

  static void
  describeFixedProperties(CommandRecord &record,
                          const EsysOutput<TPMS_CAPABILITY_DATA> &data) {
    std::map<TPM2_PT, std::uint32_t> properties;
    if (data && data->capability == TPM2_CAP_TPM_PROPERTIES) {
      const TPML_TAGGED_TPM_PROPERTY &list = data->data.tpmProperties;
      for (UINT32 i = 0; i < list.count && i < TPM2_MAX_TPM_PROPERTIES; ++i)
        properties[list.tpmProperty[i].property] = list.tpmProperty[i].value;
    }
    const auto get = [&](TPM2_PT property) -> std::optional<std::uint32_t> {
      auto found = properties.find(property);
      if (found == properties.end())
        return std::nullopt;
      return found->second;
    };
    const auto manufacturer = get(TPM2_PT_MANUFACTURER);
    if (!manufacturer) {
      record.ok = false;
      record.detail = "no TPM_PT_MANUFACTURER among " +
                      std::to_string(properties.size()) + " properties";
      return;
    }
    std::string vendor;
    for (TPM2_PT pt = TPM2_PT_VENDOR_STRING_1; pt <= TPM2_PT_VENDOR_STRING_4;
         ++pt)
      if (auto part = get(pt))
        vendor += propertyText(*part);
    std::string detail = "manufacturer \"" + propertyText(*manufacturer) +
                         "\" (" + hex32(*manufacturer) + ")";
    if (!vendor.empty())
      detail += ", vendor \"" + vendor + "\"";
    if (auto family = get(TPM2_PT_FAMILY_INDICATOR))
      detail += ", family \"" + propertyText(*family) + "\"";
    if (auto revision = get(TPM2_PT_REVISION)) {
      std::array<char, 16> text{};
      std::snprintf(text.data(), text.size(), "%u.%02u", *revision / 100,
                    *revision % 100);
      detail += " revision " + std::string(text.data());
    }
    if (auto level = get(TPM2_PT_LEVEL))
      detail += " level " + std::to_string(*level);
    const auto firmware1 = get(TPM2_PT_FIRMWARE_VERSION_1);
    const auto firmware2 = get(TPM2_PT_FIRMWARE_VERSION_2);
    if (firmware1 || firmware2)
      detail += ", firmware " + hex32(firmware1.value_or(0)) + " " +
                hex32(firmware2.value_or(0));
    const auto maxCommand = get(TPM2_PT_MAX_COMMAND_SIZE);
    const auto maxResponse = get(TPM2_PT_MAX_RESPONSE_SIZE);
    if (maxCommand && maxResponse)
      detail += ", max command/response " + std::to_string(*maxCommand) + "/" +
                std::to_string(*maxResponse) + " bytes";
    record.detail = detail;
  }

  void createPrimaryAndFlush() {
    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_PUBLIC templ{};
    TPMT_PUBLIC &area = templ.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    // A storage key: restricted decryption key, bound to this TPM and its
    // parent, generated inside the TPM, usable with an empty password.
    area.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                            TPMA_OBJECT_SENSITIVEDATAORIGIN |
                            TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA |
                            TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
    TPMS_ECC_PARMS &ecc = area.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    TPM2B_DATA outsideInfo{};
    TPML_PCR_SELECTION creationPcrs{};

    ESYS_TR key = ESYS_TR_NONE;
    EsysOutput<TPM2B_PUBLIC> outPublic;
    EsysOutput<TPM2B_CREATION_DATA> creationData;
    EsysOutput<TPM2B_DIGEST> creationHash;
    EsysOutput<TPMT_TK_CREATION> creationTicket;
    const bool usable = step(
        "TPM2_CreatePrimary",
        [&] {
          return Esys_CreatePrimary(ctx(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD,
                                    ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                                    &templ, &outsideInfo, &creationPcrs, &key,
                                    OutParam<TPM2B_PUBLIC>(outPublic),
                                    OutParam<TPM2B_CREATION_DATA>(creationData),
                                    OutParam<TPM2B_DIGEST>(creationHash),
                                    OutParam<TPMT_TK_CREATION>(creationTicket));
        },
        [&](CommandRecord &record) { describeKey(record, key, outPublic); });
    if (!usable || records_.back().responseCode != TSS2_RC_SUCCESS)
      return;

    TPM2_HANDLE handle = 0;
    const bool haveHandle =
        Esys_TR_GetTpmHandle(ctx(), key, &handle) == TSS2_RC_SUCCESS;
    step(
        "TPM2_FlushContext", [&] { return Esys_FlushContext(ctx(), key); },
        [&](CommandRecord &record) {
          record.detail = haveHandle
                              ? "transient key " + hex32(handle) + " flushed"
                              : "transient key flushed";
        });
  }

  void describeKey(CommandRecord &record, ESYS_TR key,
                   const EsysOutput<TPM2B_PUBLIC> &outPublic) {
    std::string detail = "ECC NIST P-256 storage key in the owner hierarchy";
    TPM2_HANDLE handle = 0;
    if (Esys_TR_GetTpmHandle(ctx(), key, &handle) == TSS2_RC_SUCCESS)
      detail += ", handle " + hex32(handle);
    EsysOutput<TPM2B_NAME> name;
    // The owning pointer is filled when the OutParam temporary dies, at the
    // end of this statement; test it only after.
    const TSS2_RC nameRc =
        Esys_TR_GetName(ctx(), key, OutParam<TPM2B_NAME>(name));
    if (nameRc == TSS2_RC_SUCCESS && name)
      detail += ", name " + toHex({name->name, name->size});
    if (!outPublic || outPublic->publicArea.type != TPM2_ALG_ECC ||
        outPublic->publicArea.unique.ecc.x.size != kSha256Size) {
      record.ok = false;
      detail += "; the TPM returned no P-256 public point";
    }
    record.detail = detail;
  }

  ESYS_CONTEXT *ctx() const { return context_.get(); }

  TSS2_TCTI_CONTEXT *tcti_;
  std::function<std::string()> transportAccount_;
  EsysContext context_;
  std::vector<CommandRecord> records_;
};

} // namespace

std::vector<CommandRecord> runBootSession(TSS2_TCTI_CONTEXT *tcti) {
  return BootSession(tcti, nullptr).run();
}

std::vector<CommandRecord> runBootSession(TransportTcti &tcti) {
  return BootSession(tcti.context(),
                     [&tcti] {
                       std::string account = tcti.lastError();
                       if (account.empty() && tcti.lastEfiStatus() != 0)
                         account = "transport returned " +
                                   efi::statusName(tcti.lastEfiStatus());
                       return account;
                     })
      .run();
}

bool bootSessionSucceeded(const std::vector<CommandRecord> &records) {
  if (records.empty())
    return false;
  for (const CommandRecord &record : records)
    if (!record.ok)
      return false;
  return true;
}

} // namespace tpm
