#!/usr/bin/python3
"""PyTorch CPU timings of the networks that nn_engine_bench times on the
engine: prints one line "<key> <median ms>" per network.

usage: nn_torch_reference.py SIZE REPEAT"""
import sys
import time

import torch
import torch.nn as nn
import torch.nn.functional as F


class UNet(nn.Module):
    def __init__(self):
        super().__init__()
        c = lambda i, o, k=3: nn.Conv2d(i, o, k, padding=k // 2)
        self.e1 = nn.Sequential(c(3, 16), nn.ReLU(), c(16, 16), nn.ReLU())
        self.e2 = nn.Sequential(c(16, 32), nn.ReLU(), c(32, 32), nn.ReLU())
        self.e3 = nn.Sequential(c(32, 64), nn.ReLU(), c(64, 64), nn.ReLU())
        self.d2 = nn.Sequential(c(96, 32), nn.ReLU(), c(32, 32), nn.ReLU())
        self.d1 = nn.Sequential(c(48, 16), nn.ReLU(), c(16, 16), nn.ReLU())
        self.head = c(16, 3, 1)

    def forward(self, x):
        e1 = self.e1(x)
        e2 = self.e2(F.max_pool2d(e1, 2))
        e3 = self.e3(F.max_pool2d(e2, 2))
        d2 = self.d2(torch.cat([F.interpolate(e3, scale_factor=2), e2], 1))
        d1 = self.d1(torch.cat([F.interpolate(d2, scale_factor=2), e1], 1))
        return self.head(d1)


def median_ms(model, channels, size, repeat):
    model = model.to(memory_format=torch.channels_last).eval()
    x = torch.rand(1, channels, size, size).to(memory_format=torch.channels_last)
    times = []
    with torch.no_grad():
        model(x)
        for _ in range(repeat):
            start = time.perf_counter()
            model(x)
            times.append((time.perf_counter() - start) * 1000)
    times.sort()
    return times[len(times) // 2]


def main():
    size, repeat = int(sys.argv[1]), int(sys.argv[2])
    torch.set_num_threads(2)
    for channels in (16, 32):
        print(f"conv{channels} {median_ms(nn.Conv2d(channels, channels, 3, padding=1), channels, size, repeat):.3f}")
    print(f"unet {median_ms(UNet(), 3, size, repeat):.3f}", flush=True)


if __name__ == "__main__":
    main()
