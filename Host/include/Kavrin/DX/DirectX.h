#pragma once

// Kavrin::DX: the host's DirectX device library. Linux has no Direct3D, so this is
// an EMULATION: adapters come from a configurable list, Direct3D 11 and 12 devices,
// textures and resources live in system memory, NT handles are entries of a
// process-wide table, keyed mutexes and fences are real synchronisation objects, and
// command lists run on an emulated queue thread. Kavrin/DX/Emulation.h configures it,
// injects failures and lets the GL side reach the emulated memory.

#include "Kavrin/DX/AdapterDescription.h"
#include "Kavrin/DX/D11CompletionEvent.h"
#include "Kavrin/DX/D11Device.h"
#include "Kavrin/DX/D11DeviceContext.h"
#include "Kavrin/DX/D11SharedTexture2D.h"
#include "Kavrin/DX/D12CommandAllocator.h"
#include "Kavrin/DX/D12CommandQueue.h"
#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/DX/D12Device.h"
#include "Kavrin/DX/D12GraphicsCommandList.h"
#include "Kavrin/DX/D3Device.h"
#include "Kavrin/DX/D3ShaderBytecode.h"
#include "Kavrin/DX/DXGIAdapter.h"
#include "Kavrin/DX/DXGIFactory.h"
#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/DX/Emulation.h"
#include "Kavrin/DX/ReportDirectXLeaks.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"
#include "Kavrin/Win/D3D12.h"
#include "Kavrin/Win/DXGI.h"
#include "Kavrin/Win/WinBase.h"
#include "Kavrin/Win/WinTypes.h"
#include "Kavrin/Win/bitflags.h"
