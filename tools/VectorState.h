// Painting and long arithmetic on one thread.
#pragma once

namespace zel {

// Qt's raster painting can return with the upper halves of the AVX registers still in use.
// Until something clears them, every SSE instruction that follows runs markedly slower on
// processors that track that state (the arithmetic of a pass over a million values took
// twice as long after a single repaint). Code that paints in the middle of a long computation
// calls this afterwards. It does nothing on a processor without AVX.
void ClearUpperVectorState();

} // namespace zel
