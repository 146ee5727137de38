//
// Tamsel printer command templates and job framing.
//
// The job settings rewrite the variable bytes of the weight, darkness,
// paper size and copies templates once per job, before the settings block
// goes out; every other byte here is sent exactly as stored.
//

#include "commands.h"
#include "staging.h"
#include "../rastertotamsel.h"

#include <stdlib.h>


unsigned char	szZeroCmd[kZeroCmdLen];
unsigned char	szInitCmd[kInitCmdLen] =
		{ 0x1B, '&', 'B', 0x1B, '%', '-', '9', '8', '7', '6', '5', 'X' };
unsigned char	szPaperWeightCmd[kPaperWeightCmdLen] =
		{ 0x1C, 0x16, 0x01, 'B', 0x13 };
unsigned char	szDarknessCmd[kDarknessCmdLen] =
		{ 0x1C, 0x16, 0x02, 'B', 0x12 };
unsigned char	szRenderTypeCmd[kRenderTypeCmdLen] =
		{ 0x1C, 0x16, 0x03, 'B', 0x10 };
unsigned char	szInputBinCmd[kInputBinCmdLen] =
		{ 0x1B, '&', 'A', 0x01, 0x00, 0x01 };
unsigned char	szPaperSizeSelfdefCmd[kPaperSizeSelfdefCmdLen] =
		{ 0x1B, 'x', 0x60, 0x13, 0x1B, 'y', 0xC2, 0x1B };
unsigned char	szResolutionCmd[kResolutionCmdLen] =
		{ 0x1B, '&', 'A', 0x03, 0x00, 0x00, 0x00 };
unsigned char	szPrintNumCopiesCmd[kPrintNumCopiesCmdLen] =
		{ 0x1B, '&', 'l', 0x01, 0x00, 0x00, 0x00 };
unsigned char	szStartPageCmd[kStartPageCmdLen] =
		{ 0x1B, '$', 'A', 0x1B, '!', 'A', 0x00, 0x00, 0x00 };
unsigned char	szEndPageCmd[kEndPageCmdLen] =
		{ 0x1B, '$', 'B' };
unsigned char	szBlankLineCmd[kBlankLineCmdLen] =
		{ 0x1B, '*', 'B', 0x01, 0x00 };

unsigned char	*szRasterBuf = NULL;
unsigned char	*szCompressBuf = NULL;


//
// 'JobSetup()' - Stage the job init command.
//

void
JobSetup(void)
{
  ImageDataCpy(szInitCmd, kInitCmdLen);
}


//
// 'sendSettingsToPrinter()' - Stage the settings block, in the order the printer expects.
//

void
sendSettingsToPrinter(void)
{
  ImageDataCpy(szPaperWeightCmd, kPaperWeightCmdLen);
  ImageDataCpy(szDarknessCmd, kDarknessCmdLen);
  ImageDataCpy(szRenderTypeCmd, kRenderTypeCmdLen);
  ImageDataCpy(szInputBinCmd, kInputBinCmdLen);
  ImageDataCpy(szPaperSizeSelfdefCmd, kPaperSizeSelfdefCmdLen);
  ImageDataCpy(szResolutionCmd, kResolutionCmdLen);
  ImageDataCpy(szPrintNumCopiesCmd, kPrintNumCopiesCmdLen);
}


//
// 'PageSetup()' - Stage the start-page command.
//

void
PageSetup(void)
{
  ImageDataCpy(szStartPageCmd, kStartPageCmdLen);
  gFeed = 0;
}


//
// 'PageFinish()' - Stage the end-page command and release the page buffers.
//

void
PageFinish(void)
{
  ImageDataCpy(szEndPageCmd, kEndPageCmdLen);

  if (szRasterBuf)
  {
    free(szRasterBuf);
    szRasterBuf = NULL;
  }

  if (szCompressBuf)
  {
    free(szCompressBuf);
    szCompressBuf = NULL;
  }
}


//
// 'JobFinish()' - Write out everything still staged.
//

void
JobFinish(void)
{
  gJobFinishFlag = 1;
  ImageDataCpy(NULL, 0);
}
