#include "status.h"

namespace {

void AppendRemedy(Text* text, Remedy remedy) {
  if (remedy == Remedy::kFixable)
    Append(text, L" - fixable here");
  else if (remedy == Remedy::kPerson)
    Append(text, L" - needs a person");
}

}  // namespace

DWORD ReportStatus(DWORD asked, const wchar_t* whence, const KitPlatform& platform) {
  Text line;
  Clear(&line);
  Append(&line, L"compared with SelectiveSuspendOn ");
  AppendNumber(&line, asked);
  Append(&line, L": ");
  Append(&line, whence);
  platform.note(platform.context, line.data);
  Facts facts;
  GatherFacts(platform, asked, 1, &facts);
  Clear(&line);
  const Judgement judgement = Judge(facts, &line);
  AppendRemedy(&line, judgement.remedy);
  platform.note(platform.context, line.data);
  return judgement.verdict == Verdict::kInEffect ? 0 : 1;
}

DWORD Remediate(const KitRequest& deployed, const KitPlatform& platform, Text* said, int* ran, Text* line,
                KitEvent* event) {
  *ran = 0;
  Clear(said);
  Facts facts;
  GatherFacts(platform, deployed.enable ? 1 : 0, 0, &facts);
  Text verdict;
  Clear(&verdict);
  const Judgement judgement = Judge(facts, &verdict);
  if (judgement.remedy != Remedy::kFixable) {
    Append(said, judgement.remedy == Remedy::kNothing ? L"nothing to do: " : L"needs a person: ");
    Append(said, verdict.data);
    return judgement.remedy == Remedy::kNothing ? 0 : 1;
  }
  KitRequest request = deployed;
  request.restart = 1;
  const DWORD status = RunKit(request, platform, line, event);
  *ran = 1;
  const int fixed = (status == kStatusWritten && event->outcome == Verdict::kInEffect) ||
                    (status == kStatusRebootNeeded && event->outcome != Verdict::kNotInEffect);
  Append(said, fixed ? L"remediated" : L"not remediated - ERROR");
  if (status == kStatusRebootNeeded)
    Append(said, L", reboot needed");
  Append(said, L": ");
  Append(said, line->data);
  if (fixed)
    return 0;
  return status == kStatusWritten || status == kStatusRebootNeeded ? 1 : status;
}
