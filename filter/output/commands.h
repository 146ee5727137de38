//
// Tamsel printer command templates and job framing.
//

#ifndef TAMSEL_OUTPUT_COMMANDS_H
#define TAMSEL_OUTPUT_COMMANDS_H

// Template lengths; each template is always sent whole.
enum
{
  kZeroCmdLen		   = 1024,
  kInitCmdLen		   = 12,
  kPaperWeightCmdLen	   = 5,
  kDarknessCmdLen	   = 5,
  kRenderTypeCmdLen	   = 5,
  kInputBinCmdLen	   = 6,
  kPaperSizeSelfdefCmdLen  = 8,
  kResolutionCmdLen	   = 7,
  kPrintNumCopiesCmdLen	   = 7,
  kStartPageCmdLen	   = 9,
  kEndPageCmdLen	   = 3,
  kBlankLineCmdLen	   = 5
};

extern unsigned char	szZeroCmd[kZeroCmdLen];
extern unsigned char	szInitCmd[kInitCmdLen];
extern unsigned char	szPaperWeightCmd[kPaperWeightCmdLen];
extern unsigned char	szDarknessCmd[kDarknessCmdLen];
extern unsigned char	szRenderTypeCmd[kRenderTypeCmdLen];
extern unsigned char	szInputBinCmd[kInputBinCmdLen];
extern unsigned char	szPaperSizeSelfdefCmd[kPaperSizeSelfdefCmdLen];
extern unsigned char	szResolutionCmd[kResolutionCmdLen];
extern unsigned char	szPrintNumCopiesCmd[kPrintNumCopiesCmdLen];
extern unsigned char	szStartPageCmd[kStartPageCmdLen];
extern unsigned char	szEndPageCmd[kEndPageCmdLen];
extern unsigned char	szBlankLineCmd[kBlankLineCmdLen];

// Page buffers, allocated by the job loop at each page start and
// released by PageFinish().
extern unsigned char	*szRasterBuf;
extern unsigned char	*szCompressBuf;

extern void	JobSetup(void);
extern void	sendSettingsToPrinter(void);
extern void	PageSetup(void);
extern void	PageFinish(void);
extern void	JobFinish(void);

#endif // !TAMSEL_OUTPUT_COMMANDS_H
