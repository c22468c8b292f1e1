#include "ui/image_list.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include "common/exception.h"

namespace tessarine::ui {

namespace {

constexpr std::array<const char*, TImageList::kCount> kResources{
    ":/images/googletr.svg",  ":/images/bingicon.svg",    ":/images/yandextr.svg",
    ":/images/online.svg",    ":/images/offline.svg",     ":/images/file_temporary_4559.svg",
    ":/images/delete_64.svg", ":/images/promtonlain.svg", ":/images/babylon.svg",
    ":/images/systanet.svg",  ":/images/apertium.svg",    ":/images/deepl.svg",
    ":/images/microsoft.svg", ":/images/googlecloud.svg", ":/images/yandexcloud.svg",
    ":/images/llm.svg",
};

QPixmap Render(const char* resource, int size) {
  QSvgRenderer renderer{QString::fromLatin1(resource)};
  if (!renderer.isValid()) throw Exception(std::string("Missing picture ").append(resource));
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace

TImageList::TImageList() {
  for (int i = 0; i < kCount; ++i) {
    QIcon& icon = m_icons[static_cast<size_t>(i)];
    for (int size : {kCellSize, 22, 24, 32, 48}) icon.addPixmap(Pixmap(i, size));
  }
}

const QIcon& TImageList::Icon(int index) const { return m_icons.at(static_cast<size_t>(index)); }

QPixmap TImageList::Pixmap(int index, int size) const {
  return Render(kResources.at(static_cast<size_t>(index)), size);
}

int TImageList::IndexOf(std::string_view name) {
  const std::string resource = std::string(":/images/").append(name).append(".svg");
  for (int i = 0; i < kCount; ++i) {
    if (resource == kResources[static_cast<size_t>(i)]) return i;
  }
  throw Exception("Missing picture " + resource);
}

QPixmap TImageList::AboutEmblem() { return Render(":/images/about_emblem.svg", 64); }

}  // namespace tessarine::ui
