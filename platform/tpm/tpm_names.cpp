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

} // namespace

std::string commandName(std::uint32_t commandCode) {
  const auto *end = std::end(kCommandNames);
  const auto *found =
      std::lower_bound(std::begin(kCommandNames), end, commandCode,
                       [](const CommandNameEntry &entry, std::uint32_t code) {
                         return entry.code < code;
                       });
  if (found != end && found->code == commandCode)
    return found->name;
  return "TPM_CC " + hex32(commandCode);
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
