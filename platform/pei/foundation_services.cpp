// The EFI_PEI_SERVICES table (PI 1.7), slot by slot after its 24-byte
// header: what each service takes, and the handlers of those the Foundation
// answers. The others stop the run, named, when called.
#include "foundation.h"

namespace pei {

using enum ParameterKind;

constinit const std::array<Foundation::Service, Foundation::kServiceSlots>
    Foundation::kServices = {{
        {{service::kInstallPpi, {{"services", Pointer}, {"list", Pointer}}},
         [](Foundation &f, const ServiceCall &call) -> Answer {
           return f.withCallbacks(call,
                                  f.installList(call.pointer(1), true,
                                                call.thunk().returnAddress()));
         }},
        {{service::kReInstallPpi,
          {{"services", Pointer}, {"old", Pointer}, {"new", Pointer}}},
         [](Foundation &f, const ServiceCall &call) -> Answer {
           return f.withCallbacks(
               call, f.reinstall(call.pointer(1), call.pointer(2)));
         }},
        {{service::kLocatePpi,
          {{"services", Pointer},
           {"GUID", Guid, "PPI GUID"},
           {"instance", Count},
           {"descriptor", Out},
           {"ppi", Out}}},
         [](Foundation &f, const ServiceCall &call) -> Answer {
           if (call.isNull(1)) {
             return {efi::kInvalidParameter};
           }
           return f.locatePpi(call.guid(1), call.count(2), call.pointer(3),
                              call.pointer(4));
         }},
        {{service::kNotifyPpi, {{"services", Pointer}, {"list", Pointer}}},
         [](Foundation &f, const ServiceCall &call) -> Answer {
           return f.withCallbacks(call, f.notifyList(call.pointer(1)));
         }},
        {{"GetBootMode", {{"services", Pointer}, {"mode", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.getBootMode(call);
         }},
        {{"SetBootMode", {{"services", Pointer}, {"mode", Count}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.setBootMode(call.count(1));
         }},
        {{"GetHobList", {{"services", Pointer}, {"list", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.getHobList(call);
         }},
        {{"CreateHob",
          {{"services", Pointer},
           {"type", Count},
           {"length", Count},
           {"hob", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.createHob(call);
         }},
        {{"FfsFindNextVolume",
          {{"services", Pointer}, {"instance", Count}, {"volume", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().findNextVolume(call);
         }},
        {{"FfsFindNextFile",
          {{"services", Pointer},
           {"type", Count},
           {"volume", Pointer},
           {"file", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().findNextFile(call);
         }},
        {{"FfsFindSectionData",
          {{"services", Pointer},
           {"type", Count},
           {"file", Pointer},
           {"data", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().findSectionData(call);
         }},
        {{"InstallPeiMemory",
          {{"services", Pointer}, {"begin", Wide}, {"length", Wide}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.installPeiMemory(call);
         }},
        {{"AllocatePages",
          {{"services", Pointer},
           {"type", Count},
           {"pages", Count},
           {"memory", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.allocatePages(call);
         }},
        {{"AllocatePool",
          {{"services", Pointer}, {"size", Count}, {"buffer", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.allocatePool(call);
         }},
        {{"CopyMem",
          {{"destination", Pointer}, {"source", Pointer}, {"length", Count}}},
         [](Foundation &, const ServiceCall &call) {
           return Foundation::copyMem(call);
         }},
        {{"SetMem", {{"buffer", Pointer}, {"size", Count}, {"value", Count}}},
         [](Foundation &, const ServiceCall &call) {
           return Foundation::setMem(call);
         }},
        {{"ReportStatusCode",
          {{"services", Pointer},
           {"type", Count},
           {"value", Count},
           {"instance", Count},
           {"caller", Guid, "caller GUID"},
           {"data", Buffer}},
          {", forwarded to the status code PPI"}},
         [](Foundation &f, const ServiceCall &call) {
           return f.reportStatusCode(call);
         }},
        {{"ResetSystem", {{"services", Pointer}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.resetSystem(call, 0, efi::kSuccess);
         }},
        // Data, not functions: the addresses of the CPU I/O and PCI
        // configuration PPIs, which the Foundation writes into the table.
        {{"CpuIo"}},
        {{"PciCfg"}},
        {{"FfsFindFileByName",
          {{"file name", Guid, "file name"},
           {"volume", Pointer},
           {"file", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().findFileByName(call);
         }},
        {{"FfsGetFileInfo", {{"file", Pointer}, {"info", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().getFileInfo(call);
         }},
        {{"FfsGetVolumeInfo", {{"volume", Pointer}, {"info", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().getVolumeInfo(call);
         }},
        {{service::kRegisterForShadow, {{"file", Pointer}}},
         [](Foundation &f, const ServiceCall &call) -> Answer {
           return f.registerForShadow(call.pointer(0));
         }},
        {{"FindSectionData3",
          {{"services", Pointer},
           {"type", Count},
           {"instance", Count},
           {"file", Pointer},
           {"data", Out},
           {"authentication", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().findSectionData3(call);
         }},
        {{"FfsGetFileInfo2", {{"file", Pointer}, {"info", Out}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.files().getFileInfo2(call);
         }},
        {{"ResetSystem2",
          {{"type", Count},
           {"status", Count},
           {"size", Count},
           {"data", Pointer}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.resetSystem(call, call.count(0), call.count(1));
         }},
        {{"FreePages",
          {{"services", Pointer}, {"memory", Wide}, {"pages", Count}}},
         [](Foundation &f, const ServiceCall &call) {
           return f.freePages(call);
         }},
    }};

} // namespace pei
