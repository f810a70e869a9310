#include "engine/ElementThreadBrushBlendResize.h"

#include "engine/MaskPreview.h"

void ElementThreadBrushBlendResize::Run()
{
    drawMaskPreviewRows({firstRow, endRow, previewWidth, previewHeight, imageWidth, imageHeight, strength, brushMask,
                         nullptr, network, preview, original, originalChannels});
}
