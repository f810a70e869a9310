#include "engine/ElementThreadBrushAutomaskResize.h"

#include "engine/MaskPreview.h"

void ElementThreadBrushAutomaskResize::Run()
{
    drawMaskPreviewRows({firstRow, endRow, previewWidth, previewHeight, imageWidth, imageHeight, strength, brushMask,
                         subjectMask, network, preview, original, originalChannels});
}
