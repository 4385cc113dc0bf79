#include "tpm_names.h"

#include <tss2/tss2_rc.h>

#include <algorithm>
#include <iterator>

namespace tpm {
namespace {

struct CommandNameEntry {
  std::uint32_t code;
  const char *name;
};

// Every command code of the TPM 2.0 library, in ascending order.
constexpr CommandNameEntry kCommandNames[] = {
    {0x0000011f, "TPM2_NV_UndefineSpaceSpecial"},
    {0x00000120, "TPM2_EvictControl"},
    {0x00000121, "TPM2_HierarchyControl"},
    {0x00000122, "TPM2_NV_UndefineSpace"},
    {0x00000124, "TPM2_ChangeEPS"},
    {0x00000125, "TPM2_ChangePPS"},
    {0x00000126, "TPM2_Clear"},
    {0x00000127, "TPM2_ClearControl"},
    {0x00000128, "TPM2_ClockSet"},
    {0x00000129, "TPM2_HierarchyChangeAuth"},
    {0x0000012a, "TPM2_NV_DefineSpace"},
    {0x0000012b, "TPM2_PCR_Allocate"},
    {0x0000012c, "TPM2_PCR_SetAuthPolicy"},
    {0x0000012d, "TPM2_PP_Commands"},
    {0x0000012e, "TPM2_SetPrimaryPolicy"},
    {0x0000012f, "TPM2_FieldUpgradeStart"},
    {0x00000130, "TPM2_ClockRateAdjust"},
    {0x00000131, "TPM2_CreatePrimary"},
    {0x00000132, "TPM2_NV_GlobalWriteLock"},
    {0x00000133, "TPM2_GetCommandAuditDigest"},
    {0x00000134, "TPM2_NV_Increment"},
    {0x00000135, "TPM2_NV_SetBits"},
    {0x00000136, "TPM2_NV_Extend"},
    {0x00000137, "TPM2_NV_Write"},
    {0x00000138, "TPM2_NV_WriteLock"},
    {0x00000139, "TPM2_DictionaryAttackLockReset"},
    {0x0000013a, "TPM2_DictionaryAttackParameters"},
    {0x0000013b, "TPM2_NV_ChangeAuth"},
    {0x0000013c, "TPM2_PCR_Event"},
    {0x0000013d, "TPM2_PCR_Reset"},
    {0x0000013e, "TPM2_SequenceComplete"},
    {0x0000013f, "TPM2_SetAlgorithmSet"},
    {0x00000140, "TPM2_SetCommandCodeAuditStatus"},
    {0x00000141, "TPM2_FieldUpgradeData"},
    {0x00000142, "TPM2_IncrementalSelfTest"},
    {0x00000143, "TPM2_SelfTest"},
    {0x00000144, "TPM2_Startup"},
    {0x00000145, "TPM2_Shutdown"},
    {0x00000146, "TPM2_StirRandom"},
    {0x00000147, "TPM2_ActivateCredential"},
    {0x00000148, "TPM2_Certify"},
    {0x00000149, "TPM2_PolicyNV"},
    {0x0000014a, "TPM2_CertifyCreation"},
    {0x0000014b, "TPM2_Duplicate"},
    {0x0000014c, "TPM2_GetTime"},
    {0x0000014d, "TPM2_GetSessionAuditDigest"},
    {0x0000014e, "TPM2_NV_Read"},
    {0x0000014f, "TPM2_NV_ReadLock"},
    {0x00000150, "TPM2_ObjectChangeAuth"},
    {0x00000151, "TPM2_PolicySecret"},
    {0x00000152, "TPM2_Rewrap"},
    {0x00000153, "TPM2_Create"},
    {0x00000154, "TPM2_ECDH_ZGen"},
    {0x00000155, "TPM2_HMAC"},
    {0x00000156, "TPM2_Import"},
    {0x00000157, "TPM2_Load"},
    {0x00000158, "TPM2_Quote"},
    {0x00000159, "TPM2_RSA_Decrypt"},
    {0x0000015b, "TPM2_HMAC_Start"},
    {0x0000015c, "TPM2_SequenceUpdate"},
    {0x0000015d, "TPM2_Sign"},
    {0x0000015e, "TPM2_Unseal"},
    {0x00000160, "TPM2_PolicySigned"},
    {0x00000161, "TPM2_ContextLoad"},
    {0x00000162, "TPM2_ContextSave"},
    {0x00000163, "TPM2_ECDH_KeyGen"},
    {0x00000164, "TPM2_EncryptDecrypt"},
    {0x00000165, "TPM2_FlushContext"},
    {0x00000167, "TPM2_LoadExternal"},
    {0x00000168, "TPM2_MakeCredential"},
    {0x00000169, "TPM2_NV_ReadPublic"},
    {0x0000016a, "TPM2_PolicyAuthorize"},
    {0x0000016b, "TPM2_PolicyAuthValue"},
    {0x0000016c, "TPM2_PolicyCommandCode"},
    {0x0000016d, "TPM2_PolicyCounterTimer"},
    {0x0000016e, "TPM2_PolicyCpHash"},
    {0x0000016f, "TPM2_PolicyLocality"},
    {0x00000170, "TPM2_PolicyNameHash"},
    {0x00000171, "TPM2_PolicyOR"},
    {0x00000172, "TPM2_PolicyTicket"},
    {0x00000173, "TPM2_ReadPublic"},
    {0x00000174, "TPM2_RSA_Encrypt"},
    {0x00000176, "TPM2_StartAuthSession"},
    {0x00000177, "TPM2_VerifySignature"},
    {0x00000178, "TPM2_ECC_Parameters"},
    {0x00000179, "TPM2_FirmwareRead"},
    {0x0000017a, "TPM2_GetCapability"},
    {0x0000017b, "TPM2_GetRandom"},
    {0x0000017c, "TPM2_GetTestResult"},
    {0x0000017d, "TPM2_Hash"},
    {0x0000017e, "TPM2_PCR_Read"},
    {0x0000017f, "TPM2_PolicyPCR"},
    {0x00000180, "TPM2_PolicyRestart"},
    {0x00000181, "TPM2_ReadClock"},
    {0x00000182, "TPM2_PCR_Extend"},
    {0x00000183, "TPM2_PCR_SetAuthValue"},
    {0x00000184, "TPM2_NV_Certify"},
    {0x00000185, "TPM2_EventSequenceComplete"},
    {0x00000186, "TPM2_HashSequenceStart"},
    {0x00000187, "TPM2_PolicyPhysicalPresence"},
    {0x00000188, "TPM2_PolicyDuplicationSelect"},
    {0x00000189, "TPM2_PolicyGetDigest"},
    {0x0000018a, "TPM2_TestParms"},
    {0x0000018b, "TPM2_Commit"},
    {0x0000018c, "TPM2_PolicyPassword"},
    {0x0000018d, "TPM2_ZGen_2Phase"},
    {0x0000018e, "TPM2_EC_Ephemeral"},
    {0x0000018f, "TPM2_PolicyNvWritten"},
    {0x00000190, "TPM2_PolicyTemplate"},
    {0x00000191, "TPM2_CreateLoaded"},
    {0x00000192, "TPM2_PolicyAuthorizeNV"},
    {0x00000193, "TPM2_EncryptDecrypt2"},
    {0x00000194, "TPM2_AC_GetCapability"},
    {0x00000195, "TPM2_AC_Send"},
    {0x00000196, "TPM2_Policy_AC_SendSelect"},
    {0x00000197, "TPM2_CertifyX509"},
    {0x00000198, "TPM2_ACT_SetTimeout"},
    {0x20000000, "TPM2_Vendor_TCG_Test"},
};

struct ResponseCodeEntry {
  std::uint32_t code;
  const char *name;
};

// The TPM's response codes without their handle, session or parameter
// number, in ascending order: format zero (errors from 0x100, warnings from
// 0x900) and format one (from 0x080).
constexpr ResponseCodeEntry kResponseCodeNames[] = {
    {0x000, "TPM_RC_SUCCESS"},
    {0x01E, "TPM_RC_BAD_TAG"},
    {0x081, "TPM_RC_ASYMMETRIC"},
    {0x082, "TPM_RC_ATTRIBUTES"},
    {0x083, "TPM_RC_HASH"},
    {0x084, "TPM_RC_VALUE"},
    {0x085, "TPM_RC_HIERARCHY"},
    {0x087, "TPM_RC_KEY_SIZE"},
    {0x088, "TPM_RC_MGF"},
    {0x089, "TPM_RC_MODE"},
    {0x08A, "TPM_RC_TYPE"},
    {0x08B, "TPM_RC_HANDLE"},
    {0x08C, "TPM_RC_KDF"},
    {0x08D, "TPM_RC_RANGE"},
    {0x08E, "TPM_RC_AUTH_FAIL"},
    {0x08F, "TPM_RC_NONCE"},
    {0x090, "TPM_RC_PP"},
    {0x092, "TPM_RC_SCHEME"},
    {0x095, "TPM_RC_SIZE"},
    {0x096, "TPM_RC_SYMMETRIC"},
    {0x097, "TPM_RC_TAG"},
    {0x098, "TPM_RC_SELECTOR"},
    {0x09A, "TPM_RC_INSUFFICIENT"},
    {0x09B, "TPM_RC_SIGNATURE"},
    {0x09C, "TPM_RC_KEY"},
    {0x09D, "TPM_RC_POLICY_FAIL"},
    {0x09F, "TPM_RC_INTEGRITY"},
    {0x0A0, "TPM_RC_TICKET"},
    {0x0A1, "TPM_RC_RESERVED_BITS"},
    {0x0A2, "TPM_RC_BAD_AUTH"},
    {0x0A3, "TPM_RC_EXPIRED"},
    {0x0A4, "TPM_RC_POLICY_CC"},
    {0x0A5, "TPM_RC_BINDING"},
    {0x0A6, "TPM_RC_CURVE"},
    {0x0A7, "TPM_RC_ECC_POINT"},
    {0x100, "TPM_RC_INITIALIZE"},
    {0x101, "TPM_RC_FAILURE"},
    {0x103, "TPM_RC_SEQUENCE"},
    {0x10B, "TPM_RC_PRIVATE"},
    {0x119, "TPM_RC_HMAC"},
    {0x120, "TPM_RC_DISABLED"},
    {0x121, "TPM_RC_EXCLUSIVE"},
    {0x124, "TPM_RC_AUTH_TYPE"},
    {0x125, "TPM_RC_AUTH_MISSING"},
    {0x126, "TPM_RC_POLICY"},
    {0x127, "TPM_RC_PCR"},
    {0x128, "TPM_RC_PCR_CHANGED"},
    {0x12D, "TPM_RC_UPGRADE"},
    {0x12E, "TPM_RC_TOO_MANY_CONTEXTS"},
    {0x12F, "TPM_RC_AUTH_UNAVAILABLE"},
    {0x130, "TPM_RC_REBOOT"},
    {0x131, "TPM_RC_UNBALANCED"},
    {0x142, "TPM_RC_COMMAND_SIZE"},
    {0x143, "TPM_RC_COMMAND_CODE"},
    {0x144, "TPM_RC_AUTHSIZE"},
    {0x145, "TPM_RC_AUTH_CONTEXT"},
    {0x146, "TPM_RC_NV_RANGE"},
    {0x147, "TPM_RC_NV_SIZE"},
    {0x148, "TPM_RC_NV_LOCKED"},
    {0x149, "TPM_RC_NV_AUTHORIZATION"},
    {0x14A, "TPM_RC_NV_UNINITIALIZED"},
    {0x14B, "TPM_RC_NV_SPACE"},
    {0x14C, "TPM_RC_NV_DEFINED"},
    {0x150, "TPM_RC_BAD_CONTEXT"},
    {0x151, "TPM_RC_CPHASH"},
    {0x152, "TPM_RC_PARENT"},
    {0x153, "TPM_RC_NEEDS_TEST"},
    {0x154, "TPM_RC_NO_RESULT"},
    {0x155, "TPM_RC_SENSITIVE"},
    {0x901, "TPM_RC_CONTEXT_GAP"},
    {0x902, "TPM_RC_OBJECT_MEMORY"},
    {0x903, "TPM_RC_SESSION_MEMORY"},
    {0x904, "TPM_RC_MEMORY"},
    {0x905, "TPM_RC_SESSION_HANDLES"},
    {0x906, "TPM_RC_OBJECT_HANDLES"},
    {0x907, "TPM_RC_LOCALITY"},
    {0x908, "TPM_RC_YIELDED"},
    {0x909, "TPM_RC_CANCELED"},
    {0x90A, "TPM_RC_TESTING"},
    {0x910, "TPM_RC_REFERENCE_H0"},
    {0x911, "TPM_RC_REFERENCE_H1"},
    {0x912, "TPM_RC_REFERENCE_H2"},
    {0x913, "TPM_RC_REFERENCE_H3"},
    {0x914, "TPM_RC_REFERENCE_H4"},
    {0x915, "TPM_RC_REFERENCE_H5"},
    {0x916, "TPM_RC_REFERENCE_H6"},
    {0x918, "TPM_RC_REFERENCE_S0"},
    {0x919, "TPM_RC_REFERENCE_S1"},
    {0x91A, "TPM_RC_REFERENCE_S2"},
    {0x91B, "TPM_RC_REFERENCE_S3"},
    {0x91C, "TPM_RC_REFERENCE_S4"},
    {0x91D, "TPM_RC_REFERENCE_S5"},
    {0x91E, "TPM_RC_REFERENCE_S6"},
    {0x920, "TPM_RC_NV_RATE"},
    {0x921, "TPM_RC_LOCKOUT"},
    {0x922, "TPM_RC_RETRY"},
    {0x923, "TPM_RC_NV_UNAVAILABLE"},
};

// The name of `code` in a table sorted by code, or null.
template <typename Entry, std::size_t size>
const char *lookUp(const Entry (&table)[size], std::uint32_t code) {
  const Entry *found =
      std::lower_bound(std::begin(table), std::end(table), code,
                       [](const Entry &entry, std::uint32_t wanted) {
                         return entry.code < wanted;
                       });
  return found != std::end(table) && found->code == code ? found->name
                                                         : nullptr;
}

} // namespace

std::string commandName(std::uint32_t commandCode) {
  if (const char *name = lookUp(kCommandNames, commandCode))
    return name;
  return "TPM_CC " + hex32(commandCode);
}

std::string responseCodeName(std::uint32_t responseCode) {
  constexpr std::uint32_t kFormatOne = 0x080;
  constexpr std::uint32_t kParameter = 0x040;
  if (responseCode > 0xFFF)
    return hex32(responseCode); // another layer's, or not one
  if ((responseCode & kFormatOne) == 0) {
    const char *name = lookUp(kResponseCodeNames, responseCode);
    return name != nullptr ? name : hex32(responseCode);
  }
  // Format one: bits 0-5 the error, bit 6 "parameter", bits 8-11 the
  // number of the parameter, or of the handle (1-7) or session (8-15).
  const char *name =
      lookUp(kResponseCodeNames, kFormatOne | (responseCode & 0x3F));
  if (name == nullptr)
    return hex32(responseCode);
  const unsigned number = (responseCode >> 8) & 0xF;
  if (responseCode & kParameter)
    return std::string(name) + " (parameter " + std::to_string(number) + ")";
  if (number == 0)
    return name;
  return std::string(name) +
         (number < 8 ? " (handle " + std::to_string(number) + ")"
                     : " (session " + std::to_string(number - 8) + ")");
}

std::string responseCodeText(std::uint32_t responseCode) {
  if (responseCode == 0)
    return "success";
  // Tss2_RC_Decode returns a pointer into a thread-local buffer; copy it out
  // at once.
  const char *text = Tss2_RC_Decode(responseCode);
  return text != nullptr ? std::string(text) : std::string("unknown");
}

std::string describeResponseCode(std::uint32_t responseCode) {
  return hex32(responseCode) + " (" + responseCodeText(responseCode) + ")";
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

} // namespace tpm
