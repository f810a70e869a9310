"""What both training scripts share: a clock-driven learning rate, averaged weights, checkpoints.

Runs are limited by wall-clock minutes, not steps, because a step's cost depends on the
machine's load. The learning rate therefore follows the clock: a short warm-up, then a
cosine down to 2 % of the peak exactly when the time is up, so the final weights are always
the annealed ones. An exponential moving average of the weights smooths out the last
steps' noise; it is what gets validated and saved.
"""
import copy
import math
import os
import time

import numpy as np
import torch

WARMUP = 0.03
FLOOR = 0.02


def add_common_arguments(ap, run, minutes=60, lr=2e-3):
    ap.add_argument("--data", default="/work/data/train")
    ap.add_argument("--val", default="/work/data/val", help="validation photographs (other seeds)")
    ap.add_argument("--run", default=run)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--minutes", type=float, default=minutes)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--lr", type=float, default=lr)
    ap.add_argument("--ema", type=float, default=0.995, help="decay of the weight average")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--init", help="start from these weights (weights.pt of an earlier run)")
    ap.add_argument("--resume", action="store_true", help="continue the checkpoint in --run")


def learning_rate(peak, fraction):
    if fraction < WARMUP:
        return peak * max(fraction / WARMUP, 0.01)
    t = min((fraction - WARMUP) / (1 - WARMUP), 1.0)
    return peak * (FLOOR + (1 - FLOOR) * 0.5 * (1 + math.cos(math.pi * t)))


class TimedRun:
    """Optimiser, schedule, weight average, checkpoints and log of one training run."""

    def __init__(self, args, net):
        torch.manual_seed(args.seed)
        torch.set_num_threads(args.threads)
        os.makedirs(args.run, exist_ok=True)
        self.args, self.net = args, net
        self.rng = np.random.default_rng(args.seed)
        self.step, self.spent = 0, 0.0
        if args.init:
            net.load_state_dict(torch.load(args.init))
        self.opt = torch.optim.Adam(net.parameters(), lr=args.lr)
        self.average = copy.deepcopy(net).requires_grad_(False)
        self.checkpoint = os.path.join(args.run, "checkpoint.pt")
        if args.resume and os.path.exists(self.checkpoint):
            self._load()
        self.started = time.time() - self.spent
        self.log_file = open(os.path.join(args.run, "log.csv"), "a")

    def elapsed(self):
        return time.time() - self.started

    def running(self):
        return self.elapsed() < self.args.minutes * 60

    def update(self, loss):
        lr = learning_rate(self.args.lr, self.elapsed() / (self.args.minutes * 60))
        for group in self.opt.param_groups:
            group["lr"] = lr
        self.opt.zero_grad()
        loss.backward()
        self.opt.step()
        self.step += 1
        decay = min(self.args.ema, (1 + self.step) / (10 + self.step))
        with torch.no_grad():
            for a, p in zip(self.average.parameters(), self.net.parameters()):
                a.lerp_(p, 1 - decay)
        return lr

    def record(self, *values):
        self.log_file.write(",".join(str(v) for v in (self.step, *values, round(self.elapsed()))) + "\n")
        self.log_file.flush()

    def save(self, final=False):
        torch.save({"net": self.net.state_dict(), "average": self.average.state_dict(),
                    "opt": self.opt.state_dict(), "step": self.step, "rng": self.rng,
                    "spent": self.elapsed()}, self.checkpoint)
        if final:
            torch.save(self.average.state_dict(), os.path.join(self.args.run, "weights.pt"))

    def _load(self):
        state = torch.load(self.checkpoint, weights_only=False)
        self.net.load_state_dict(state["net"])
        self.average.load_state_dict(state.get("average", state["net"]))
        self.opt.load_state_dict(state["opt"])
        self.step, self.rng, self.spent = state["step"], state["rng"], state.get("spent", 0.0)
