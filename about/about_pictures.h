#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>

// The library's pictures, drawn once when first asked for.
namespace Kelvaring {

// A picture at 256 colours with a palette cut to it and error diffusion, so that its gradients
// neither band nor stripe.
QImage To256Colours(const QImage& source);

// 600 x 600, 256 colours: a dark banner about 50 pixels high with the maker's emblem at its
// left end and the wordmark with a product-family line beside it, over a pale field.
const QImage& AboutBackground();

// The credits windows' portraits, one per window: the size and colour depth given, dark enough
// behind the light-yellow link at the foot.
enum class CreditsPortrait { Vardle, Tembrin, Murrask };
const QImage& CreditsPicture(CreditsPortrait which);

// The one icon of the credits windows: a 16 x 16 and a 32 x 32 image of 256 colours.
QIcon CreditsIcon();

} // namespace Kelvaring
