// Colours (ARGB) and texts of the installer window. No Win32 here.
#pragma once
#include <array>
#include <cstdint>

#include "app/catalogue.h"

namespace installer_style {

using Argb = std::uint32_t;

inline constexpr wchar_t WindowClass[] = L"TrevantoInstaladorWnd";
inline constexpr wchar_t HeaderText[] = L"Selecciona el programa de Marvek que quieres descargar el ACTUALIZADOR";
inline constexpr wchar_t TileLine[] = L"Clic para instalar el actualizador";
inline constexpr wchar_t ButtonText[] = L"Ubicación personalizada...";
inline constexpr wchar_t FolderPrompt[] = L"Selecciona la carpeta donde instalar Trevanto";
inline constexpr wchar_t FontName[] = L"Segoe UI";

inline constexpr int WindowWidth = 980;
inline constexpr int WindowHeight = 640;

inline constexpr Argb BackgroundTop = 0xFF12233A;
inline constexpr Argb BackgroundBottom = 0xFF2A6096;

inline constexpr Argb HeaderShadow = 0x46000000;
inline constexpr Argb HeaderFill = 0xFF5A96E6;
inline constexpr Argb HeaderOutline = 0xC8FFFFFF;
inline constexpr Argb HeaderRule = 0x64000000;
inline constexpr Argb White = 0xFFFFFFFF;

inline constexpr Argb TileShadow = 0x50000000;
inline constexpr Argb TileTop = 0xFFF4F7FC;
inline constexpr Argb TileBottom = 0xFFEAF0FA;
inline constexpr Argb TileHoverTop = 0xFFFAFCFF;
inline constexpr Argb TileHoverBottom = 0xFFE8F1FF;
inline constexpr Argb TileOutline = 0x78C8D2E6;
inline constexpr Argb TitleText = 0xFF1E1E1E;
inline constexpr Argb LineText = 0xC83C508C;
inline constexpr Argb LineHoverText = 0xFF5064A0;

// Accent strip per tile, in tile order: FORJANO, MESALTO, QUINDEL, VENDARA, TIJERAL.
inline constexpr std::array<Argb, ProductCount> TileAccents = {0xFFEB1E37, 0xFF00B9E6, 0xFF7D41C8, 0xFFFAC800,
                                                               0xFFF046A5};

inline constexpr Argb ButtonShadow = 0x50000000;
inline constexpr Argb ButtonTop = 0xFFECF3FC;
inline constexpr Argb ButtonBottom = 0xFFE1EBF8;
inline constexpr Argb ButtonHoverTop = 0xFFF5FCFF;
inline constexpr Argb ButtonHoverBottom = 0xFFE0ECFC;
inline constexpr Argb ButtonOutline = 0xB4C8D2E6;

}  // namespace installer_style
