#include "image/Views.h"

namespace quillet {
namespace {
ViewSink* g_views = nullptr;
}

void SetViewSink(ViewSink* sink) { g_views = sink; }
ViewSink* GetViewSink() { return g_views; }

int ActiveView(int image) {
  if (!g_views) return 0;
  int page = g_views->ActivePageIndex();
  if (page != 0 && page != 1) return 0;
  if (image == 1) return 1 + page;
  if (image == 2) return 3 + page;
  return 0;
}

void BlankView(int view) {
  if (g_views && view >= 1 && view <= 4) g_views->BlankView(view);
}

void ImageToView(int view, int image) {
  if (g_views && view >= 0 && view <= 4) g_views->ImageToView(view, image);
}

void ViewToImage(int view, int image) {
  if (g_views && view >= 1 && view <= 4) g_views->ViewToImage(view, image);
}

}  // namespace quillet
