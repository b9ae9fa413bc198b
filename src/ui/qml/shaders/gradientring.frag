#version 440
// A circle's outline stroked with a linear gradient from the frame's top-left corner to its
// bottom-right one, through three evenly spaced stops; edges smoothed over one pixel.
layout(location = 0) in vec2 qt_TexCoord0;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    vec4 color0;
    vec4 color1;
    vec4 color2;
    float side;      // the item's side in points
    float diameter;  // the circle's frame in points
    float lineWidth;
    float pixel;     // one device pixel in points
};

vec4 premultiplied(vec4 c) { return vec4(c.rgb * c.a, c.a); }

void main() {
    vec2 p = qt_TexCoord0 * side;
    float r = length(p - vec2(side * 0.5));
    float inner = diameter * 0.5 - lineWidth * 0.5;
    float outer = diameter * 0.5 + lineWidth * 0.5;
    float h = pixel * 0.5;
    float cover = smoothstep(inner - h, inner + h, r) * (1.0 - smoothstep(outer - h, outer + h, r));
    vec2 q = (p - vec2((side - diameter) * 0.5)) / diameter;
    float t = clamp((q.x + q.y) * 0.5, 0.0, 1.0);
    vec4 c = t < 0.5 ? mix(premultiplied(color0), premultiplied(color1), t * 2.0)
                     : mix(premultiplied(color1), premultiplied(color2), (t - 0.5) * 2.0);
    fragColor = c * cover * qt_Opacity;
}
