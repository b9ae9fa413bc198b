#version 440
// A round-capped stroke: full inside, fading linearly to clear across the pixel centred on its
// edge (CapsuleMesh::coverage).
layout(location = 0) in vec4 vCapsule;
layout(location = 1) in vec4 vColor;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    float pixel;
};

void main() {
    float beyondCore = max(abs(vCapsule.x) - vCapsule.z, 0.0);
    float distance = length(vec2(beyondCore, vCapsule.y));
    float cover = clamp((vCapsule.w - distance) / pixel + 0.5, 0.0, 1.0);
    fragColor = vColor * cover;
}
