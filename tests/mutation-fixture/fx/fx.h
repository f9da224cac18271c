#pragma once
int fx_sum(int a, int b);
bool fx_adult(int age);
int fx_clamp(int v);
int fx_count_to(int n);
int fx_sign(int v);
int fx_low(int v);
