#version 440
// A disc filled with a radial gradient of three stops (radii as fractions of the half side),
// clear beyond the last; colours blend premultiplied so fading to clear does not darken.
layout(location = 0) in vec2 qt_TexCoord0;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    vec4 color0;
    vec4 color1;
    vec4 color2;
    float radius0;
    float radius1;
    float radius2;
};

vec4 premultiplied(vec4 c) { return vec4(c.rgb * c.a, c.a); }

void main() {
    float r = length(qt_TexCoord0 - vec2(0.5)) * 2.0;
    vec4 c0 = premultiplied(color0);
    vec4 c1 = premultiplied(color1);
    vec4 c2 = premultiplied(color2);
    vec4 c;
    if (r <= radius0) {
        c = c0;
    } else if (r <= radius1) {
        c = mix(c0, c1, (r - radius0) / max(radius1 - radius0, 1e-5));
    } else if (r <= radius2) {
        c = mix(c1, c2, (r - radius1) / max(radius2 - radius1, 1e-5));
    } else {
        c = vec4(0.0);
    }
    fragColor = c * qt_Opacity;
}
